#include "updater/installation.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "updater/archive_unpack.h"

namespace lumewell::updater {
namespace fs = std::filesystem;
namespace {

Error installError(const std::string& text) { return Error{"updater.install", 1, text}; }

int exchangePaths(const std::string& a, const std::string& b) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
#else
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(),
                                    1u << 1 /* RENAME_EXCHANGE */));
#endif
}

void syncFolder(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The archive's own root, or its single top folder when it wraps everything in one.
Result<std::string> payloadRoot(const std::string& unpacked) {
  if (isExecutableFile(unpacked + "/" + kInstalledExecutable)) return unpacked;
  std::error_code ec;
  std::string only;
  int count = 0;
  for (const auto& e : fs::directory_iterator(unpacked, ec)) {
    ++count;
    if (e.is_directory(ec) && !e.is_symlink(ec)) only = e.path().string();
  }
  if (count == 1 && !only.empty() && isExecutableFile(only + "/" + kInstalledExecutable)) {
    return only;
  }
  return installError(std::string("The update archive does not contain an executable ") +
                      kInstalledExecutable + "; it was not installed.");
}

struct Names {
  std::string parent;
  std::string name;
};

Names split(const std::string& folder) {
  fs::path p = fs::path(folder).lexically_normal();
  if (!p.has_filename()) p = p.parent_path();  // "a/b/" -> "a/b"
  return {p.parent_path().string(), p.filename().string()};
}

}  // namespace

Result<std::string> installationFolderOf(const std::string& executable) {
  const fs::path exe = fs::path(executable).lexically_normal();
  const fs::path bin = exe.parent_path();
  if (bin.filename() != "bin" || !bin.has_parent_path() || bin.parent_path() == bin.root_path()) {
    return installError("The application does not run from an installation folder (" + executable +
                        " is not in a bin/ folder of its own), so it cannot update "
                        "itself.");
  }
  return bin.parent_path().string();
}

Result<std::string> currentInstallationFolder() {
  char buffer[PATH_MAX + 1] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return installError("The running executable cannot be located.");
  return installationFolderOf(std::string(buffer, static_cast<size_t>(n)));
}

OptionalError checkUpdatableFolder(const std::string& folder) {
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  if (ec || !fs::is_directory(real, ec)) {
    return installError("The installation folder " + folder + " does not exist.");
  }
  std::vector<fs::path> shared = {"/",     "/usr",  "/usr/local", "/opt", "/home",  "/var",
                                  "/etc",  "/bin",  "/sbin",      "/lib", "/lib64", "/srv",
                                  "/snap", "/root", "/tmp",       "/app"};
  if (const char* home = g_get_home_dir()) shared.emplace_back(home);
  for (const fs::path& p : shared) {
    const fs::path canonicalShared = fs::weakly_canonical(p, ec);
    if (real == p || (!ec && real == canonicalShared)) {
      return installError("The application is installed in the shared folder " + real.string() +
                          ", which an update must not replace; update it with the system's "
                          "package manager.");
    }
  }
  if (!isExecutableFile(folder + "/" + kInstalledExecutable)) {
    return installError("The folder " + folder + " is not an installation of Lumewell Recorder.");
  }
  return std::nullopt;
}

std::string previousVersionFolder(const std::string& folder) {
  const Names n = split(folder);
  return (fs::path(n.parent) / ("." + n.name + ".previous")).string();
}

Result<std::string> installArchive(std::span<const uint8_t> archive, const std::string& folder) {
  if (auto refused = checkUpdatableFolder(folder)) return *refused;
  const Names n = split(folder);
  const std::string target = (fs::path(n.parent) / n.name).string();

  // Unpacked beside the installation so that the swap is a rename on one file system.
  std::string staging = (fs::path(n.parent) / ("." + n.name + ".update-XXXXXX")).string();
  if (::mkdtemp(staging.data()) == nullptr) {
    return installError("Cannot unpack the update beside " + target + ": " + std::strerror(errno));
  }
  struct Cleanup {
    std::string path;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } cleanup{staging};

  if (auto err = unpackArchive(archive, staging)) return *err;
  auto root = payloadRoot(staging);
  if (!root) return root.error();
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) ::chmod(root->c_str(), old.st_mode & 07777);
  syncFolder(*root);
  syncFolder(staging);

  // The previous version of an earlier update has had its start; this one's takes its place.
  const std::string previous = previousVersionFolder(folder);
  std::error_code ec;
  fs::remove_all(previous, ec);

  if (exchangePaths(*root, target) == 0) {
    // root now holds the old installation.
    if (!isExecutableFile(target + "/" + kInstalledExecutable)) {
      exchangePaths(*root, target);
      return installError(
          "The swapped-in update has no executable; the old version was "
          "restored.");
    }
    ::rename(root->c_str(), previous.c_str());
  } else {
    const int exchangeErrno = errno;
    if (exchangeErrno != EINVAL && exchangeErrno != ENOSYS) {
      return installError("Cannot swap the update into " + target + ": " +
                          std::strerror(exchangeErrno));
    }
    // The file system cannot exchange: move the old folder aside, then the new one in, and
    // put the old one back if the second step fails.
    if (::rename(target.c_str(), previous.c_str()) != 0) {
      return installError("Cannot move the old installation aside: " +
                          std::string(std::strerror(errno)));
    }
    if (::rename(root->c_str(), target.c_str()) != 0) {
      const int moveErrno = errno;
      ::rename(previous.c_str(), target.c_str());
      return installError("Cannot move the update into " + target +
                          " (the old version was restored): " + std::strerror(moveErrno));
    }
  }
  syncFolder(n.parent);
  return target + "/" + kInstalledExecutable;
}

void removeLeftovers(const std::string& folder) {
  const Names n = split(folder);
  std::error_code ec;
  fs::remove_all(previousVersionFolder(folder), ec);
  const std::string prefix = "." + n.name + ".update-";
  for (const auto& e : fs::directory_iterator(n.parent, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) fs::remove_all(e.path(), ec);
  }
}

}  // namespace lumewell::updater
