// What keeps a model directory whole when processes die, power fails, several
// processes share the model directory and transfers break off: the files
// kept beside the archive, the lock around one fetch, flushing to stable
// storage, and the state that download_url hands to the real download_file
// and _safe_extract while it calls them.
//
// Files beside the archive <name>.tar.xz (names an extracted model directory
// never has, since ".tar.xz" is cut out of its name):
//
//   <archive>.lock       the lock file; exists only while a fetch holds it
//                        (or after its holder died)
//   <archive>.journal    an extraction into the base directory began and has
//                        not finished: the model directory is not to be
//                        trusted. Removed only once the model is complete
//                        and on stable storage.
//   <archive>.partial    the bytes of a transfer that broke off ...
//   <archive>.validator  ... and the server's validator and total size for
//                        them, for the next attempt to ask for the rest
//   <archive>.<id>.part, <archive>.<id>.staging
//                        one process's own archive and extraction, used only
//                        where the file system does not lock
//
// A name that would not fit in a file name of the base directory takes a
// stem derived from the archive's name instead of the name itself (see
// Beside in model.cpp).
#pragma once

#include <string>
#include <vector>

#include "ombrix/ref.hpp"

namespace fetch {

// The file-system encoding of a path (os.fsencode(os.fspath(path))). False
// with an exception set when it cannot be encoded.
bool fs_path(PyObject* path, std::string* out);
// The str for a file-system path (os.fsdecode).
ombrix::Ref py_path(const std::string& path);

// Sets OSError from errno for `path` and returns false.
bool os_error(const std::string& path);

// False on any error.
bool is_dir(const std::string& path);   // a directory, or a link to one
bool lexists(const std::string& path);  // anything, a dangling link included

// Flushes a file's data, or a directory's entries, to stable storage. The
// interpreter lock is released meanwhile. False with OSError set.
bool sync_path(const std::string& path);
// sync_path of the directory that holds `path`.
bool sync_parent(const std::string& path);
// Flushes every file and directory below and including `path` (links not
// followed), then the directory that holds it.
bool sync_tree(const std::string& path);

// While a large file is being written (by code that gives no hook between
// its writes), starts writing its pages out to the disk every few
// milliseconds from a thread of its own, so that the fsync that follows
// finds little left to do. Only a hint to the kernel: durability comes from
// that fsync.
class BackgroundFlush {
 public:
  explicit BackgroundFlush(const std::string& path);  // "": no file, no thread
  ~BackgroundFlush();  // stops and joins the thread
  BackgroundFlush(const BackgroundFlush&) = delete;
  BackgroundFlush& operator=(const BackgroundFlush&) = delete;

  struct Shared;

 private:
  Shared* shared_ = nullptr;
};

// Starts writing a file that has just been written out to the disk, without
// waiting: the fsync that follows then finds its data there or on its way.
// Only a hint to the kernel; a link or a file that cannot be opened is
// passed over.
void start_writeback(const std::string& path);

// Removes a file, a link or a whole directory tree (links not followed);
// true when nothing is left at `path`.
bool remove_tree(const std::string& path);

// Writes `text` to a new file at `path` (replacing any) and flushes it and
// its directory.
bool write_file(const std::string& path, const std::string& text, bool durable);
// The whole content of a small file; false when it cannot be read.
bool read_file(const std::string& path, std::string* text);

// The advisory lock around one fetch of one model: an open-file-description
// lock on <archive>.lock, which the kernel drops when its holder dies. The
// holder removes the file before letting go; whoever then locks an old,
// removed file notices that the name now leads elsewhere and starts over,
// so all holders at any time hold the file the name leads to, and no two
// hold it at once.
//
// A lock file that cannot be opened for writing (another user's, where the
// model volume is shared by a group) is locked through a descriptor open
// for reading: see try_lock_read_only in place.cpp. One that cannot be
// opened at all is Unopenable: the fetch then goes on as where nothing
// locks, in names of its own.
class FetchLock {
 public:
  enum Outcome { Error = -1, Unusable = 0, Held = 1, Unopenable = 2 };

  FetchLock() = default;
  FetchLock(const FetchLock&) = delete;
  FetchLock& operator=(const FetchLock&) = delete;
  ~FetchLock() { release(); }

  // Waits until the lock is held or `seconds` have passed (TimeoutError),
  // with the interpreter lock released while waiting and signals handled
  // between tries. Unusable: the file system accepts the call but does not
  // lock (a second lock on the same file is granted as well), or refuses
  // locks altogether.
  Outcome acquire(const std::string& path, double seconds);
  void release();

 private:
  std::string path_;
  int fd_ = -1;
  bool held_ = false;
  bool read_only_ = false;  // fd_ is open for reading only
};

// What download_url tells the real download_file and _safe_extract while it
// calls them on this thread. Functions put in their place by rebinding
// module attributes never see it.
struct FetchState {
  // download_file(cloud_url=..., local_file=archive)
  PyObject* archive = nullptr;   // the local_file download_url passes (borrowed)
  std::string partial;           // where the bytes go until the archive is whole
  std::string validator;         // the server's validator for them ("" = none kept)

  // _safe_extract(tar, base)
  PyObject* base = nullptr;      // the path download_url passes (borrowed)
  std::string name;              // the model's directory in it ("": unknown)
  bool extracted = false;        // some member reached the disk
  std::vector<std::string> created;  // outermost paths the extraction created

  // download_detection_model's time left, for a fetch that waits for another.
  double budget = -1;            // seconds; < 0: none given
};

// The state of the download_url running on this thread, or null.
FetchState* current_fetch();

// Installs `state` for the current thread for the life of the scope.
class FetchScope {
 public:
  explicit FetchScope(FetchState* state);
  ~FetchScope();
  FetchScope(const FetchScope&) = delete;
  FetchScope& operator=(const FetchScope&) = delete;

 private:
  FetchState* previous_;
};

// The budget download_detection_model gives the download_url it calls
// (seconds left); -1 when none.
double& retry_budget();

}  // namespace fetch
