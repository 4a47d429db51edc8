#include "updater/appcast.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <set>

#include "updater/url_policy.h"
#include "updater/version_compare.h"

namespace lumewell::updater {
namespace {

Error parseError(const std::string& text) { return Error{"updater.appcast", 1, text}; }

std::string trimmed(const char* s) {
  std::string_view v(s);
  const char* ws = " \t\r\n";
  const size_t first = v.find_first_not_of(ws);
  if (first == std::string_view::npos) return {};
  const size_t last = v.find_last_not_of(ws);
  return std::string(v.substr(first, last - first + 1));
}

// Matches qualified names against the prefixes bound to the appcast namespace.
class SparkleNames {
 public:
  explicit SparkleNames(const pugi::xml_document& doc) { collect(doc.document_element()); }
  bool empty() const { return prefixes_.empty(); }
  bool is(const char* qualified, const char* local) const {
    const char* colon = std::strchr(qualified, ':');
    if (colon == nullptr || std::strcmp(colon + 1, local) != 0) return false;
    return prefixes_.count(std::string(qualified, colon)) > 0;
  }
  pugi::xml_node child(pugi::xml_node parent, const char* local) const {
    for (pugi::xml_node n : parent.children()) {
      if (n.type() == pugi::node_element && is(n.name(), local)) return n;
    }
    return {};
  }
  pugi::xml_attribute attribute(pugi::xml_node node, const char* local) const {
    for (pugi::xml_attribute a : node.attributes()) {
      if (is(a.name(), local)) return a;
    }
    return {};
  }

 private:
  // Walks the tree without recursion: a feed may nest as deep as its size allows.
  void collect(pugi::xml_node root) {
    pugi::xml_node n = root;
    while (n) {
      if (n.type() == pugi::node_element) {
        for (pugi::xml_attribute a : n.attributes()) {
          if (std::strncmp(a.name(), "xmlns:", 6) == 0 &&
              std::strcmp(a.value(), kSparkleNamespace) == 0) {
            prefixes_.insert(a.name() + 6);
          }
        }
      }
      if (n.first_child()) {
        n = n.first_child();
        continue;
      }
      while (n && n != root && !n.next_sibling()) n = n.parent();
      if (!n || n == root) break;
      n = n.next_sibling();
    }
  }
  std::set<std::string> prefixes_;
};

bool isLinux(const std::string& os) {
  return os.empty() || os == "linux" || os == "linux-x64" || os == "linux-arm64";
}

int64_t parseLength(const std::string& text) {
  const bool digits =
      !text.empty() && text.size() <= 18 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  return digits ? std::stoll(text) : 0;
}

}  // namespace

Result<std::vector<AppcastItem>> parseAppcast(std::string_view xml, const std::string& feedUrl) {
  pugi::xml_document doc;
  // Default options: no DTD processing and no entities beyond XML's five, so a hostile feed
  // cannot expand or pull in anything.
  const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
  if (!parsed) {
    return parseError(std::string("The update feed is not valid XML: ") + parsed.description() +
                      ".");
  }
  pugi::xml_node rss = doc.document_element();
  if (std::strcmp(rss.name(), "rss") != 0 || !rss.child("channel")) {
    return parseError("The update feed is not an RSS appcast.");
  }
  const SparkleNames sparkle(doc);
  std::vector<AppcastItem> items;
  for (pugi::xml_node channel : rss.children("channel")) {
    for (pugi::xml_node node : channel.children("item")) {
      if (sparkle.child(node, "channel")) continue;  // a named (or malformed) release channel
      if (sparkle.child(node, "informationalUpdate")) continue;
      pugi::xml_node enclosure = node.child("enclosure");
      if (!enclosure) continue;
      if (sparkle.attribute(enclosure, "deltaFrom")) continue;  // a delta needs its base
      std::string os = trimmed(sparkle.attribute(enclosure, "os").value());
      if (!isLinux(os)) continue;

      // The enclosure's attribute, else the item's element of that name.
      auto attributeOrChild = [&](const char* local) {
        std::string text = trimmed(sparkle.attribute(enclosure, local).value());
        return text.empty() ? trimmed(sparkle.child(node, local).child_value()) : text;
      };
      AppcastItem item;
      item.title = trimmed(node.child_value("title"));
      item.versionString = attributeOrChild("version");
      if (item.versionString.empty()) continue;
      item.displayVersionString = attributeOrChild("shortVersionString");
      const std::string url = trimmed(enclosure.attribute("url").value());
      if (url.empty()) continue;
      auto resolved = resolveUrl(feedUrl, url);
      if (!resolved) continue;
      item.fileURL = *resolved;
      item.contentLength = parseLength(trimmed(enclosure.attribute("length").value()));
      item.edSignature = trimmed(sparkle.attribute(enclosure, "edSignature").value());
      items.push_back(std::move(item));
    }
  }
  return items;
}

std::optional<AppcastItem> bestUpdate(const std::vector<AppcastItem>& items,
                                      std::string_view runningVersion) {
  const AppcastItem* best = nullptr;
  for (const AppcastItem& item : items) {
    // Newer than the best so far is newer than the running version too.
    const std::string_view floor = best != nullptr ? best->versionString : runningVersion;
    if (compareVersions(item.versionString, floor) > 0) best = &item;
  }
  return best != nullptr ? std::optional(*best) : std::nullopt;
}

}  // namespace lumewell::updater
