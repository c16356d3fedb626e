#include "place.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>
#include <new>

namespace fetch {

using ombrix::Ref;

bool fs_path(PyObject* path, std::string* out) {
  Ref given = Ref::steal(PyOS_FSPath(path));
  if (!given) return false;
  Ref encoded = PyBytes_Check(given.get()) ? given
                                           : Ref::steal(PyUnicode_EncodeFSDefault(given.get()));
  if (!encoded) return false;
  out->assign(PyBytes_AS_STRING(encoded.get()),
              static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (out->find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

Ref py_path(const std::string& path) {
  return Ref::steal(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

bool os_error(const std::string& path) {
  int saved = errno;
  Ref name = py_path(path);
  errno = saved;
  if (name) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  return false;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool lexists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

namespace {

std::string parent_of(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

// The permissions refuse to open a path (not a fault of the disk).
bool refused(int error) { return error == EACCES || error == EPERM; }

constexpr int kRefused = -2;  // sync_one: the path could not be opened, see below

// fsync of one path; errno set on failure. Directories and regular files
// only: a link or a special file has no data of its own to flush (its
// directory entry is flushed with the directory). A link to a directory is
// followed (the base directory may be one); a link in a file's place is not.
//
// A file that may not be read (a model file of mode 0200, extracted by its
// owner without CAP_DAC_OVERRIDE) is opened for writing instead: fsync
// takes either. One that can be opened neither way (mode 0000), and a
// directory that may not be read, give kRefused: flush_file_system then
// makes them durable with everything else on their file system.
int sync_one(const char* path, bool directory) {
  int flags = O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : O_NONBLOCK | O_NOFOLLOW);
  int fd = ::open(path, flags);
  if (fd < 0 && !directory && refused(errno)) {
    fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  }
  if (fd < 0) return refused(errno) ? kRefused : -1;
  int rc = ::fsync(fd);
  // Some file systems cannot flush a directory; nothing more can be done.
  if (rc != 0 && directory && (errno == EINVAL || errno == EBADF)) rc = 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return rc;
}

// Flushes the whole file system that holds `path`, for an entry that could
// not be opened to flush it alone: syncfs() through the nearest directory
// above it that opens and lies on the same file system, else sync(), which
// flushes every file system and needs no descriptor. 0, or -1 with errno
// set when the flush reports a write error.
int flush_file_system(const std::string& path) {
  struct stat entry;
  if (::lstat(path.c_str(), &entry) != 0) return -1;
  for (std::string dir = parent_of(path);; dir = parent_of(dir)) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd >= 0) {
      struct stat st;
      int rc = ::fstat(fd, &st) == 0 && st.st_dev == entry.st_dev ? ::syncfs(fd) : 1;
      int saved = errno;
      ::close(fd);
      if (rc <= 0 && !(rc < 0 && saved == ENOSYS)) {
        errno = saved;
        return rc;
      }
      break;  // another file system, or no syncfs: flush them all
    }
    if (dir == "/" || dir == ".") break;
  }
  ::sync();
  return 0;
}

// The paths sync_tree flushes, collected by nftw (which takes no state).
thread_local std::vector<std::pair<std::string, bool>>* collecting = nullptr;

int collect_entry(const char* path, const struct stat* st, int type, struct FTW*) {
  // A directory that may not be read (FTW_DNR) is flushed with its file
  // system, and what is in it with it (see sync_one).
  if (type == FTW_D || type == FTW_DP || type == FTW_DNR) collecting->emplace_back(path, true);
  if (type == FTW_F && S_ISREG(st->st_mode)) collecting->emplace_back(path, false);
  return 0;
}

struct SyncShare {
  const std::vector<std::pair<std::string, bool>>* paths;
  std::vector<char>* refused;  // per path: it could not be opened
  std::atomic<size_t>* next;
  std::atomic<int>* error;
};

void* sync_some(void* arg) {
  auto* share = static_cast<SyncShare*>(arg);
  for (;;) {
    size_t i = share->next->fetch_add(1);
    if (i >= share->paths->size()) break;
    const auto& entry = (*share->paths)[i];
    int rc = sync_one(entry.first.c_str(), entry.second);
    if (rc == kRefused) {
      (*share->refused)[i] = 1;
    } else if (rc != 0) {
      int expected = 0;
      share->error->compare_exchange_strong(expected, errno ? errno : EIO);
    }
  }
  return nullptr;
}

// fsync of every path, several at a time: the file system can then write
// them out and commit their metadata together instead of one commit each.
// The file system of the paths that could not be opened is flushed whole,
// once.
int sync_all(const std::vector<std::pair<std::string, bool>>& paths) {
  std::atomic<size_t> next{0};
  std::atomic<int> error{0};
  std::vector<char> refused_paths(paths.size(), 0);
  SyncShare share = {&paths, &refused_paths, &next, &error};
  pthread_t helpers[7];
  size_t started = 0;
  for (size_t want = std::min<size_t>(7, paths.size() > 0 ? paths.size() - 1 : 0);
       started < want; ++started) {
    if (::pthread_create(&helpers[started], nullptr, sync_some, &share) != 0) break;
  }
  sync_some(&share);
  for (size_t i = 0; i < started; ++i) ::pthread_join(helpers[i], nullptr);
  std::vector<dev_t> flushed;
  for (size_t i = 0; i < paths.size() && error.load() == 0; ++i) {
    struct stat st;
    if (!refused_paths[i]) continue;
    if (::lstat(paths[i].first.c_str(), &st) != 0) return errno;
    if (std::find(flushed.begin(), flushed.end(), st.st_dev) != flushed.end()) continue;
    if (flush_file_system(paths[i].first) != 0) return errno ? errno : EIO;
    flushed.push_back(st.st_dev);
  }
  return error.load();
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW* walk) {
  if (type == FTW_DNR) {
    // A directory that may not be listed (an archive can make one, mode
    // 0300, and fill it): opened to its owner, then removed as the rest.
    // (A file system that keeps it unreadable ends the nesting.)
    static thread_local int nested = 0;
    if (nested >= 64) return EACCES;
    if (::chmod(path, 0700) != 0) return errno;
    ++nested;
    int rc = ::nftw(path, remove_entry, 16, FTW_PHYS | FTW_DEPTH);
    int saved = errno;
    --nested;
    return rc == 0 ? 0 : rc > 0 ? rc : saved;
  }
  int rc = (type == FTW_DP) ? ::rmdir(path) : ::unlink(path);
  if (rc != 0 && (errno == EACCES || errno == EPERM) && walk->level > 0) {
    // A directory of the tree its owner may not write to (an archive can
    // make one, mode 0500, after its entries): opened to its owner.
    std::string parent = parent_of(path);
    struct stat st;
    if (::lstat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        ::chmod(parent.c_str(), (st.st_mode & 07777) | 0700) == 0) {
      rc = (type == FTW_DP) ? ::rmdir(path) : ::unlink(path);
    }
  }
  return (rc == 0 || errno == ENOENT) ? 0 : errno;
}

}  // namespace

bool sync_path(const std::string& path) {
  int rc, saved;
  bool directory = is_dir(path);
  Py_BEGIN_ALLOW_THREADS
  rc = sync_one(path.c_str(), directory);
  if (rc == kRefused) rc = flush_file_system(path);
  saved = errno;
  Py_END_ALLOW_THREADS
  errno = saved;
  return rc == 0 || os_error(path);
}

bool sync_parent(const std::string& path) { return sync_path(parent_of(path)); }

bool sync_tree(const std::string& path) {
  std::vector<std::pair<std::string, bool>> paths;
  int rc = 0, error = 0;
  if (lexists(path)) {
    collecting = &paths;
    rc = ::nftw(path.c_str(), collect_entry, 16, FTW_PHYS | FTW_DEPTH);
    collecting = nullptr;
    if (rc != 0) return os_error(path);
  }
  paths.emplace_back(parent_of(path), true);
  Py_BEGIN_ALLOW_THREADS
  error = sync_all(paths);
  Py_END_ALLOW_THREADS
  if (error != 0) {
    errno = error;
    return os_error(path);
  }
  return true;
}

bool remove_tree(const std::string& path) {
  int rc = 0, saved = 0;
  Py_BEGIN_ALLOW_THREADS
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    rc = S_ISDIR(st.st_mode) ? ::nftw(path.c_str(), remove_entry, 16, FTW_PHYS | FTW_DEPTH)
                             : (::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1);
    saved = rc > 0 ? rc : errno;
  }
  Py_END_ALLOW_THREADS
  if (rc != 0) {
    errno = saved;
    return os_error(path);
  }
  return true;
}

bool write_file(const std::string& path, const std::string& text, bool durable) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return os_error(path);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno ? errno : EIO;
      ::close(fd);
      errno = saved;
      return os_error(path);
    }
    done += static_cast<size_t>(n);
  }
  int rc = 0, saved = 0;
  if (durable) {
    Py_BEGIN_ALLOW_THREADS
    rc = ::fsync(fd);
    saved = errno;
    Py_END_ALLOW_THREADS
  }
  ::close(fd);
  errno = saved;
  if (rc != 0) return os_error(path);
  return !durable || sync_parent(path);
}

bool read_file(const std::string& path, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= 65536;
  text->clear();
  char buf[4096];
  while (ok) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

// --- flushing while a file is written ---------------------------------------------

struct BackgroundFlush::Shared {
  std::string path;
  std::atomic<bool> stop{false};
  pthread_t thread;
};

namespace {

void* flush_loop(void* arg) {
  auto* shared = static_cast<BackgroundFlush::Shared*>(arg);
  int fd = -1;
  off_t started = 0;  // bytes already sent on their way
  while (!shared->stop.load()) {
    if (fd < 0) fd = ::open(shared->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
#ifdef SYNC_FILE_RANGE_WRITE
    // Only what was written since the last round: the pages before are
    // on their way already.
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > started) {
      ::sync_file_range(fd, started, st.st_size - started, SYNC_FILE_RANGE_WRITE);
      started = st.st_size;
    }
#endif
    struct timespec pause = {0, 4 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  if (fd >= 0) ::close(fd);
  return nullptr;
}

}  // namespace

BackgroundFlush::BackgroundFlush(const std::string& path) {
#ifdef SYNC_FILE_RANGE_WRITE
  if (path.empty()) return;
  shared_ = new (std::nothrow) Shared;
  if (!shared_) return;
  shared_->path = path;
  if (::pthread_create(&shared_->thread, nullptr, flush_loop, shared_) != 0) {
    delete shared_;
    shared_ = nullptr;
  }
#else
  (void)path;
#endif
}

void start_writeback(const std::string& path) {
#ifdef SYNC_FILE_RANGE_WRITE
  Py_BEGIN_ALLOW_THREADS
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) {
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    ::close(fd);
  }
  Py_END_ALLOW_THREADS
#else
  (void)path;
#endif
}

BackgroundFlush::~BackgroundFlush() {
  if (!shared_) return;
  shared_->stop.store(true);
  Py_BEGIN_ALLOW_THREADS
  ::pthread_join(shared_->thread, nullptr);
  Py_END_ALLOW_THREADS
  delete shared_;
}

// --- the lock -------------------------------------------------------------------

namespace {

#ifdef F_OFD_SETLK
// One try at an open-file-description lock of `type` on the whole file: 1
// taken, 0 held elsewhere, -1 with errno (EINVAL: the kernel has none).
int try_ofd_lock(int fd, short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 1;
  return errno == EAGAIN || errno == EACCES ? 0 : -1;
}
#endif

// One try at an exclusive lock on the whole file for this open file
// description: 1 taken, 0 held elsewhere, -1 with errno for any other
// failure. Kernels without open-file-description locks take flock().
int try_lock(int fd) {
#ifdef F_OFD_SETLK
  const int taken = try_ofd_lock(fd, F_WRLCK);
  if (taken >= 0 || errno != EINVAL) return taken;
#endif
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
  return errno == EWOULDBLOCK ? 0 : -1;
}

// try_lock for a descriptor open only for reading, which cannot take a
// write lock: a read lock, which no write lock of another holder allows,
// and an exclusive flock() beside it, which keeps out the others that
// lock through such a descriptor. Kernels without open-file-description
// locks take flock() alone, as try_lock does there.
int try_lock_read_only(int fd) {
  bool read_lock = false;
#ifdef F_OFD_SETLK
  const int taken = try_ofd_lock(fd, F_RDLCK);
  if (taken == 0 || (taken < 0 && errno != EINVAL)) return taken;
  read_lock = taken == 1;
#endif
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
  int saved = errno;
#ifdef F_OFD_SETLK
  if (read_lock) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(fd, F_OFD_SETLK, &fl);
  }
#endif
  (void)read_lock;
  return saved == EWOULDBLOCK ? 0 : (errno = saved, -1);
}

// The lock file another user made (its mode lets us read it only), or one
// on a volume mounted read-only: open for reading.
bool opens_read_only(int error) { return error == EACCES || error == EPERM || error == EROFS; }

double monotonic() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The name still leads to the file `fd` has open.
bool still_named(int fd, const std::string& path) {
  struct stat by_fd, by_name;
  return ::fstat(fd, &by_fd) == 0 && ::stat(path.c_str(), &by_name) == 0 &&
         by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino;
}

}  // namespace

FetchLock::Outcome FetchLock::acquire(const std::string& path, double seconds) {
  release();
  path_ = path;
  const double deadline = monotonic() + seconds;
  for (;;) {
    read_only_ = false;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0 && opens_read_only(errno)) {
      int refused = errno;
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      read_only_ = fd_ >= 0;
      // A lock file that cannot be opened at all: whether anyone holds it
      // cannot be told.
      if (fd_ < 0 && opens_read_only(errno) && refused != EROFS) return Unopenable;
      if (fd_ < 0) errno = refused;
    }
    if (fd_ < 0) {
      os_error(path);
      return Error;
    }
    int got;
    for (;;) {
      int saved;
      Py_BEGIN_ALLOW_THREADS
      got = read_only_ ? try_lock_read_only(fd_) : try_lock(fd_);
      saved = errno;
      if (got == 0) {
        struct timespec pause = {0, 20 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
      }
      Py_END_ALLOW_THREADS
      errno = saved;
      if (got != 0) break;
      if (PyErr_CheckSignals() != 0) {
        release();
        return Error;
      }
      if (monotonic() >= deadline) {
        release();
        Ref name = py_path(path);
        if (name) {
          PyErr_Format(PyExc_TimeoutError, "timed out waiting for the fetch that holds %R",
                       name.get());
        }
        return Error;
      }
    }
    if (got < 0) {
      // ENOLCK and the like: the file system keeps no locks.
      release();
      return Unusable;
    }
    if (still_named(fd_, path)) break;
    // The holder before us removed the file after we opened it.
    ::close(fd_);
    fd_ = -1;
  }
  held_ = true;
  // A second open of the same file must not get the lock as well; where it
  // does, the file system only pretends to lock.
  int probe = ::open(path.c_str(), (read_only_ ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW);
  int second = probe < 0 ? 1 : read_only_ ? try_lock_read_only(probe) : try_lock(probe);
  if (probe >= 0) ::close(probe);
  if (second != 0) {
    release();
    return Unusable;
  }
  return Held;
}

void FetchLock::release() {
  if (fd_ < 0) return;
  // Removed while still held: see the class comment.
  if (held_) ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
  held_ = false;
}

// --- per-thread state --------------------------------------------------------------

namespace {
thread_local FetchState* current = nullptr;
thread_local double budget = -1;
}  // namespace

FetchState* current_fetch() { return current; }

FetchScope::FetchScope(FetchState* state) : previous_(current) { current = state; }
FetchScope::~FetchScope() { current = previous_; }

double& retry_budget() { return budget; }

}  // namespace fetch
