#pragma once

// Signing key, archives, feeds, an installation offered an update, a recording delegate.

#include <archive.h>
#include <archive_entry.h>
#include <glib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/loopback_http_server.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"
#include "updater/appcast_update_engine.h"

namespace lumewell::updater::testing {

inline std::string base64(const std::string& bytes) {
  gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  return std::string(std::unique_ptr<gchar, decltype(&g_free)>(text, g_free).get());
}

inline std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// An Ed25519 key pair of the test's own.
class SigningKey {
 public:
  std::string publicKeyBase64() const {
    std::string raw(32, '\0');
    size_t len = raw.size();
    EVP_PKEY_get_raw_public_key(key_.get(), reinterpret_cast<unsigned char*>(raw.data()), &len);
    return base64(raw);
  }
  std::string signBase64(const std::string& data) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get());
    std::string sig(64, '\0');
    size_t len = sig.size();
    EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                   reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return base64(sig);
  }

 private:
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{
      EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free};
};

struct ArchiveEntry {
  std::string path, content;  // content: a file's bytes, or a link's target
  enum class Kind { file, symlink, hardlink } kind = Kind::file;
  int mode = 0644;
  int64_t sparseSize = 0;  // when set, the file's declared size: content, then a hole
};

inline ArchiveEntry file(std::string path, std::string content, int mode = 0644) {
  return {std::move(path), std::move(content), ArchiveEntry::Kind::file, mode};
}
inline ArchiveEntry symlink(std::string path, std::string target) {
  return {std::move(path), std::move(target), ArchiveEntry::Kind::symlink, 0777};
}

inline const std::string kBundleMarker = "application=app.lumewell.Recorder\nlayout=1\n";

// A bundle's files as the bundle install step lays them out.
inline std::vector<ArchiveEntry> newBuild(const std::string& version = "1.2.0") {
  return {file("bin/lumewell-recorder", "new build", 0755), file("share/data.txt", "new data"),
          file("lumewell-bundle", kBundleMarker), file("lumewell-version", version + "\n")};
}

enum class ArchiveFormat { tarGz, tarXz, zip };

inline std::string makeArchive(const std::vector<ArchiveEntry>& entries,
                               ArchiveFormat format = ArchiveFormat::tarGz) {
  archive* a = archive_write_new();
  format == ArchiveFormat::zip ? archive_write_set_format_zip(a)
                               : archive_write_set_format_pax_restricted(a);
  if (format == ArchiveFormat::tarGz) archive_write_add_filter_gzip(a);
  if (format == ArchiveFormat::tarXz) archive_write_add_filter_xz(a);
  std::vector<char> buffer(16 << 20);
  size_t used = 0;
  archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
  for (const ArchiveEntry& e : entries) {
    using enum ArchiveEntry::Kind;
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.path.c_str());
    archive_entry_set_perm(entry, static_cast<mode_t>(e.mode));
    archive_entry_set_filetype(entry, e.kind == symlink ? AE_IFLNK : AE_IFREG);
    if (e.kind == file)
      archive_entry_set_size(entry, std::max<int64_t>(e.content.size(), e.sparseSize));
    if (e.sparseSize > 0) archive_entry_sparse_add_entry(entry, 0, e.content.size());
    if (e.kind == symlink) archive_entry_set_symlink(entry, e.content.c_str());
    if (e.kind == hardlink) archive_entry_set_hardlink(entry, e.content.c_str());
    archive_write_header(a, entry);
    if (e.kind == file) archive_write_data(a, e.content.data(), e.content.size());
    archive_entry_free(entry);
  }
  archive_write_close(a);
  archive_write_free(a);
  return std::string(buffer.data(), used);
}

// Items of version, display version, enclosure url (as written), length and signature.
inline std::string appcast(const std::vector<std::array<std::string, 5>>& items) {
  std::string xml =
      R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)";
  for (const auto& [version, display, url, length, signature] : items) {
    xml += "<item><sparkle:version>" + version + "</sparkle:version>" +
           "<sparkle:shortVersionString>" + display + "</sparkle:shortVersionString>" +
           "<enclosure url=\"" + url + "\" length=\"" + length + "\" sparkle:os=\"linux\"" +
           " sparkle:edSignature=\"" + signature + "\"/></item>";
  }
  return xml + "</channel></rss>";
}

// An installation of 1.0.0, a virtual main loop and a loopback feed that offers the
// installation a signed 1.2.0 once published; engines made here relaunch into a list.
struct UpdateSite {
  UpdateSite() {
    lumewell::testing::writeFile(prefix + "/bin/lumewell-recorder", "old build", 0755);
    lumewell::testing::writeFile(prefix + "/share/data.txt", "old data");
    lumewell::testing::writeFile(prefix + "/lumewell-bundle", kBundleMarker);
  }
  void publish(const std::string& archive, const std::string& signature) {
    server.serve("/feeds/files/lumewell-1.2.0.tar.gz", archive);
    server.serve("/feeds/appcast.xml", appcast({{"1.2.0", "1.2", "files/lumewell-1.2.0.tar.gz",
                                                 std::to_string(archive.size()), signature}}));
  }
  void publishGood(ArchiveFormat format = ArchiveFormat::tarGz) {
    auto entries = newBuild();
    for (auto& e : entries)
      e.path = (format == ArchiveFormat::zip ? "lumewell-1.2.0/" : "") + e.path;
    const std::string archive = makeArchive(entries, format);
    publish(archive, key.signBase64(archive));
  }
  std::shared_ptr<AppcastUpdateEngine> makeEngine(std::weak_ptr<UpdaterDelegate> delegate) {
    return std::make_shared<AppcastUpdateEngine>(
        std::move(delegate), scheduler,
        AppcastEngineConfig{"1.0.0", publicKey, prefix, cache,
                            [this](const std::string& exe) { relaunched.push_back(exe); }});
  }

  lumewell::testing::TempDir temp;
  const std::string prefix = temp.path() + "/opt/lumewell";
  const std::string cache = temp.path() + "/cache/updates";
  SigningKey key;
  std::string publicKey = key.publicKeyBase64();  // the one the engines' build carries
  lumewell::testing::LoopbackHttpServer server;
  VirtualScheduler scheduler;
  std::vector<std::string> relaunched;
};

// Records the engine's delegate calls as short lines; postpones or takes over blocks as told.
class RecordingDelegate final : public UpdaterDelegate {
 public:
  std::optional<std::string> feed;
  bool postponeRelaunch = false;
  std::vector<std::string> calls;
  std::function<void()> heldRelaunch, heldInstall;
  std::optional<Error> lastError;

  bool cycleEnded() const { return !calls.empty() && calls.back().starts_with("finish"); }
  void note(const std::string& what, const AppcastItem* i = nullptr) {
    calls.push_back(i != nullptr ? what + " " + i->label() : what);
  }

  std::optional<std::string> feedURLString() override { return feed; }
  void didFindValidUpdate(const AppcastItem& i) override { note("found", &i); }
  void didNotFindUpdate() override { note("notFound"); }
  void didDownloadUpdate(const AppcastItem& i) override { note("downloaded", &i); }
  bool willInstallUpdateOnQuit(const AppcastItem& i, std::function<void()> block) override {
    note("installOnQuit", &i);
    heldInstall = std::move(block);
    return true;
  }
  bool shouldPostponeRelaunch(const AppcastItem& i, std::function<void()> block) override {
    note("postpone?", &i);
    if (postponeRelaunch) heldRelaunch = std::move(block);
    return postponeRelaunch;
  }
  void willInstallUpdate(const AppcastItem& i) override { note("willInstall", &i); }
  void willRelaunchApplication() override { note("willRelaunch"); }
  void didAbortWithError(const Error& error) override {
    note("abort");
    lastError = error;
  }
  void didFinishUpdateCycle(UpdateCheck check, const OptionalError& error) override {
    const char* kinds[] = {"finish updates", "finish background", "finish information"};
    note(kinds[static_cast<int>(check)] + std::string(error ? " error" : ""));
  }
};

}  // namespace lumewell::updater::testing
