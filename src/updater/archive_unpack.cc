#include "updater/archive_unpack.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace lumewell::updater {
namespace {

Error unpackError(const std::string& text) { return Error{"updater.archive", 1, text}; }

// What a failed system call on path says, with errno's text.
Error pathError(const char* verb, const std::string& path, const char* tail = "") {
  return unpackError(std::string("Could not ") + verb + " \"" + path + "\"" + tail + ": " +
                     std::strerror(errno));
}

Error damaged(archive* a) {
  return unpackError(std::string("The update archive is damaged: ") + archive_error_string(a));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The parts of a path between its "/"s, leaving out empty ones and ".".
std::vector<std::string> namedParts(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t start = 0, end; start <= path.size(); start = end + 1) {
    end = std::min(path.find('/', start), path.size());
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
  }
  return parts;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

// Splits an entry path into its components: "./a//b/" -> {a, b}. Empty for an absolute path
// or one with "..", which no entry may have.
bool components(const std::string& path, std::vector<std::string>* out) {
  if (path.empty() || path.front() == '/') return false;
  *out = namedParts(path);
  return !out->empty() && std::find(out->begin(), out->end(), "..") == out->end();
}

// A link stays inside when resolving its target from the link's folder never climbs above
// the root.
bool linkStaysInside(const std::vector<std::string>& linkPath, const std::string& target) {
  if (target.empty() || target.front() == '/') return false;
  long depth = static_cast<long>(linkPath.size()) - 1;  // the folder holding the link
  for (const std::string& part : namedParts(target)) {
    depth += part == ".." ? -1 : 1;
    if (depth < 0) return false;
  }
  return true;
}

struct UnpackedLink {
  std::vector<std::string> parts;  // where the link is, below the root
  std::string target;
};

struct ArchiveDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};

class Unpacker {
 public:
  Unpacker(const std::string& destination, const UnpackLimits& limits) : limits_(limits) {
    root_ = Fd(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }

  OptionalError run(std::span<const uint8_t> bytes) {
    if (!root_) return unpackError("Could not open the folder to unpack the update into.");
    std::unique_ptr<archive, ArchiveDeleter> reader(archive_read_new());
    archive* a = reader.get();
    archive_read_support_filter_gzip(a);
    archive_read_support_filter_xz(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    archive_read_support_format_zip(a);
    if (archive_read_open_memory(a, bytes.data(), bytes.size()) != ARCHIVE_OK) {
      return unpackError(std::string("The update archive cannot be read: ") +
                         archive_error_string(a));
    }
    archive_entry* entry = nullptr;
    int64_t entries = 0;
    for (;;) {
      const int rc = archive_read_next_header(a, &entry);
      if (rc == ARCHIVE_EOF) break;
      if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return damaged(a);
      if (++entries > limits_.maxEntries) {
        return unpackError("The update archive has too many entries.");
      }
      if (auto err = extract(a, entry)) return err;
    }
    if (entries == 0) return unpackError("The update archive is empty.");
    if (auto err = verifyLinks()) return err;
    return syncFolders();
  }

 private:
  OptionalError extract(archive* a, archive_entry* entry) {
    const char* rawPath = archive_entry_pathname(entry);
    const std::string path = rawPath != nullptr ? rawPath : "";
    std::vector<std::string> parts;
    if (!components(path, &parts)) {
      return unpackError("The update archive has an entry that would land outside its folder (\"" +
                         path + "\"); it was refused.");
    }
    if (archive_entry_hardlink(entry) != nullptr) {
      return unpackError("The update archive has a hard link (\"" + path + "\"); it was refused.");
    }
    const mode_t type = archive_entry_filetype(entry);
    const std::string& leaf = parts.back();
    auto parent = openFolder(parts, parts.size() - 1);
    if (!parent) return parent.error();
    if (type == AE_IFDIR) {
      auto dir = openFolder(parts, parts.size());
      return dir ? OptionalError() : dir.error();
    }
    if (type == AE_IFLNK) {
      const char* rawTarget = archive_entry_symlink(entry);
      const std::string target = rawTarget != nullptr ? rawTarget : "";
      if (!linkStaysInside(parts, target)) {
        return unpackError("The update archive has a link leading outside its folder (\"" + path +
                           "\" -> \"" + target + "\"); it was refused.");
      }
      if (::symlinkat(target.c_str(), parent->get(), leaf.c_str()) != 0) {
        return pathError("unpack", path);
      }
      links_.push_back({parts, target});
      return std::nullopt;
    }
    if (type != AE_IFREG) {
      return unpackError("The update archive has a special file (\"" + path +
                         "\"); it was refused.");
    }
    // Declared sizes count too: a sparse entry must not grow a file past the limit.
    const int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
    if (declared < 0 || declared > limits_.maxTotalBytes - declaredTotal_) {
      return unpackError("The update archive unpacks to more than the allowed size.");
    }
    declaredTotal_ += declared;
    const mode_t mode = (archive_entry_perm(entry) & 0755) | 0600;
    Fd file(::openat(parent->get(), leaf.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file) {
      return unpackError("Could not unpack \"" + path + "\": " + std::strerror(errno) +
                         (errno == EEXIST ? " (the archive lists it twice)" : ""));
    }
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int64_t written = 0;
    for (;;) {
      const int rc = archive_read_data_block(a, &block, &size, &offset);
      if (rc == ARCHIVE_EOF) break;
      if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return damaged(a);
      // Sparse entries give offsets; a hole is left as zeros by seeking.
      if (offset != written && ::lseek(file.get(), offset, SEEK_SET) < 0) {
        return pathError("unpack", path);
      }
      written = offset;
      total_ += static_cast<int64_t>(size);
      if (total_ > limits_.maxTotalBytes) {
        return unpackError("The update archive unpacks to more than the allowed size.");
      }
      const auto* p = static_cast<const char*>(block);
      size_t left = size;
      while (left > 0) {
        const ssize_t n = ::write(file.get(), p, left);
        if (n < 0) {
          if (errno == EINTR) continue;
          return pathError("unpack", path);
        }
        p += n;
        left -= static_cast<size_t>(n);
      }
      written += static_cast<int64_t>(size);
    }
    if (declared > written && ::ftruncate(file.get(), declared) != 0) {
      return pathError("unpack", path);
    }
    // The umask must not take away the bits the archive asked for.
    if (::fchmod(file.get(), mode) != 0 || ::fsync(file.get()) != 0) {
      return pathError("write", path, " to disk");
    }
    return std::nullopt;
  }

  // Opens, creating what is missing, the folder of the first `depth` parts below the root,
  // one component at a time and never through a symbolic link.
  Result<Fd> openFolder(const std::vector<std::string>& parts, size_t depth) {
    Fd current(::dup(root_.get()));
    std::string walked;
    for (const std::string& part : std::span(parts).first(depth)) {
      walked += (walked.empty() ? "" : "/") + part;
      if (::mkdirat(current.get(), part.c_str(), 0755) == 0) {
        folders_.push_back(walked);
      } else if (errno != EEXIST) {
        return pathError("unpack", walked);
      }
      Fd next(
          ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) {
        return unpackError("The update archive puts \"" + walked +
                           "\" where it cannot be a plain folder; it was refused.");
      }
      current = std::move(next);
    }
    return current;
  }

  // Each link was checked on its own as it arrived, but links combine: "d/up -> .." and then
  // "esc -> d/up/.." leads out although neither does alone, in whichever order they come.
  // Once everything is unpacked, every link is resolved by the kernel, which refuses to
  // leave the root (openat2 RESOLVE_BENEATH). A kernel without openat2 gets the stricter
  // rule: no link target may pass through another link.
  OptionalError verifyLinks() {
    for (const UnpackedLink& link : links_) {
      const std::string path = joined(link.parts);
      open_how how{};
      how.flags = O_PATH | O_CLOEXEC;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
      const long fd = ::syscall(SYS_openat2, root_.get(), path.c_str(), &how, sizeof how);
      if (fd >= 0) {
        ::close(static_cast<int>(fd));
        continue;
      }
      const int error = errno;
      if (error == ENOSYS) {
        if (auto err = refuseLinkThroughLink(link, path)) return err;
        continue;
      }
      const std::string what = "\"" + path + "\" -> \"" + link.target + "\"";
      if (error == ENOENT) {
        return unpackError("The update archive has a link to nothing (" + what +
                           "); it was refused.");
      }
      return unpackError("The update archive has a link leading outside its folder (" + what +
                         "); it was refused.");
    }
    return std::nullopt;
  }

  OptionalError refuseLinkThroughLink(const UnpackedLink& link, const std::string& path) {
    std::vector<std::string> at(link.parts.begin(), link.parts.end() - 1);
    const std::vector<std::string> steps = namedParts(link.target);
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
      if (steps[i] == "..") {
        if (!at.empty()) at.pop_back();
        continue;
      }
      at.push_back(steps[i]);
      struct stat st {};
      if (::fstatat(root_.get(), joined(at).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        return unpackError("The update archive has a link that leads through another link (\"" +
                           path + "\" -> \"" + link.target + "\"); it was refused.");
      }
    }
    return std::nullopt;
  }

  OptionalError syncFolders() {
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
      Fd dir(::openat(root_.get(), it->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!dir || ::fsync(dir.get()) != 0) {
        return pathError("write", *it, " to disk");
      }
    }
    if (::fsync(root_.get()) != 0) {
      return unpackError(std::string("Could not write the update to disk: ") +
                         std::strerror(errno));
    }
    return std::nullopt;
  }

  UnpackLimits limits_;
  Fd root_;
  std::vector<UnpackedLink> links_;
  std::vector<std::string> folders_;
  int64_t total_ = 0;
  int64_t declaredTotal_ = 0;
};

}  // namespace

OptionalError unpackArchive(std::span<const uint8_t> archive, const std::string& destination,
                            const UnpackLimits& limits) {
  Unpacker unpacker(destination, limits);
  return unpacker.run(archive);
}

}  // namespace lumewell::updater
