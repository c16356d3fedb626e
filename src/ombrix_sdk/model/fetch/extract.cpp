// _safe_extract: extracts an open tar stream member by member and refuses
// any member that would land outside the destination.
//
// Beyond the member's name, the checks look at the disk as it is when the
// member is extracted: a member must not resolve outside the destination
// through links already on disk, and a link member must not point outside
// it (symbolic links relative to their own directory, hard links relative to
// the destination). Device nodes and FIFOs are refused, and no extracted
// file keeps a set-user-ID, set-group-ID or sticky bit. A member other than
// a directory gets an entry of its own: whatever is in its place is removed
// first, so that no existing file is written into and no link is written
// through. When the extraction fails, whatever it created is removed again,
// so that no partial model stays behind.
//
// download_url's extraction into the base directory, shared with other
// models, also changes nothing that was there before it outside the model's
// own directory: a member that would replace, write into or add to a path
// that existed before, other than the base directory itself, is refused, as
// is a hard link to such a path (setting the link's mode and times would
// change that file).
//
// Members are written as tarfile writes them without a filter (the
// "fully_trusted" behaviour, the default before Python 3.14), on every
// interpreter: where tarfile takes a filter, it is named explicitly, so
// that 3.14's default "data" filter, which rewrites some link targets and
// modes, gives no other files than earlier interpreters; the checks here
// do the refusing.
#include "fetch.hpp"
#include "place.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

constexpr long kSpecialModeBits = 04000 | 02000 | 01000;  // set-user-ID, set-group-ID, sticky

// Exception(what + name): what the member attempted (a path traversal, a
// special file) and its name.
bool refuse(PyObject* what, PyObject* name) {
  Ref message = concat({what, name});
  if (message) PyErr_SetObject(PyExc_Exception, message.get());
  return false;
}

// text.startswith(prefix) as a truth value (-1 on error).
int starts_with(const State& st, PyObject* text, PyObject* prefix) {
  Ref result = call_method(text, st.startswith, {prefix});
  return result ? truth(result.get()) : -1;
}

// member.<test>() for the link tests; a member without the method is not
// that kind of link.
int member_is(PyObject* member, PyObject* test) {
  Ref method = getattr(member, test);
  if (!method) return clear_expected(PyExc_AttributeError) ? 0 : -1;
  Ref result = call(method.get(), {});
  return result ? truth(result.get()) : -1;
}

class Extraction {
 public:
  Extraction(NativeFunction* fn, PyObject* path) : st(state_of(fn)), fn_(fn), path_(path) {}

  // abs_path = os.path.abspath(path), and the real destination beside it.
  bool begin() {
    Ref os = lookup(fn_, st.os);
    Ref sep = os ? getattr(os.get(), st.sep) : Ref();
    abs_path_ = sep ? os_path(fn_, st.abspath, {path_}) : Ref();
    prefix_ = abs_path_ ? concat({abs_path_.get(), sep.get()}) : Ref();
    real_root_ = prefix_ ? os_path(fn_, st.realpath, {path_}) : Ref();
    real_prefix_ = real_root_ ? concat({real_root_.get(), sep.get()}) : Ref();
    created_ = Ref::steal(PyList_New(0));
    links_ = Ref::steal(PyList_New(0));
    return real_prefix_ && created_ && links_;
  }

  // Whether tar.extract takes filter=: a real TarFile of a tarfile module
  // that knows extraction filters.
  bool names_filter(PyObject* tar) {
    Ref tarfile = lookup(fn_, st.tarfile);
    if (!tarfile) return false;
    Ref tar_class = getattr(tarfile.get(), st.TarFile);
    Ref filter = tar_class ? getattr(tarfile.get(), st.fully_trusted_filter) : Ref();
    if (!filter) {
      if (!clear_expected(PyExc_AttributeError)) return false;
      filtered_ = 0;
      return true;
    }
    filtered_ = PyObject_IsInstance(tar, tar_class.get());
    return filtered_ >= 0;
  }

  // for member in tar: _check(member); tar.extract(member, path=path)
  bool run(PyObject* tar) {
    if (!names_filter(tar) || !find_state()) return false;
    Ref members = Ref::steal(PyObject_GetIter(tar));
    if (!members) return false;
    while (Ref member = Ref::steal(PyIter_Next(members.get()))) {
      Place place;
      if (!check(member.get(), &place) || !find_landing(member.get(), &place) ||
          !record(place.landing.get(), &place.nearest) || !keeps_to_its_own(place) ||
          !clear_special_bits(member.get()) || !make_room(place)) {
        return false;
      }
      Ref extract = getattr(tar, st.extract);
      if (!extract) return false;
      if (state_) state_->extracted = true;
      std::string large;
      if (!large_file(member.get(), place.landing.get(), &large)) return false;
      Ref done;
      {
        // download_url flushes what it extracts; a large file starts on
        // its way to the disk while it is written.
        BackgroundFlush flush_early(large);
        done = filtered_ ? call_kw(extract.get(), {member.get(), path_, st.fully_trusted},
                                   st.kw.path_filter.get())
                         : call_kw(extract.get(), {member.get(), path_}, st.kw.path.get());
      }
      if (!done || (large.empty() && !write_back(member.get(), place))) return false;
      int symbolic = member_is(member.get(), st.issym);
      int hard = symbolic == 0 ? member_is(member.get(), st.islnk) : symbolic;
      if (hard < 0) return false;
      if (hard) forget_real_dir();  // a hard link to a link is a link too
    }
    return !PyErr_Occurred() && links_stay_inside() && report_created();
  }

  // Removes what this extraction created, newest first, keeping the pending
  // exception. Failures to remove are ignored: the extraction's own error is
  // the one to report. Anything but an Exception while removing (the
  // process being stopped) ends the removal and goes on in its place.
  void undo() {
    Caught pending;
    pending.take(PyExc_BaseException);
    for (Py_ssize_t i = PyList_GET_SIZE(created_.get()); i-- > 0;) {
      Ref path = Ref::borrow(PyList_GET_ITEM(created_.get(), i));
      if (!remove_tree(path.get()) && !clear_expected()) return;
    }
    pending.restore();
  }

 private:
  // Where one member goes.
  struct Place {
    Ref name;       // member.name
    Ref location;   // os.path.join(path, name) without trailing slashes
    Ref parent;     // the real path of the directory it is in ...
    Ref basename;   // ... and its last component
    Ref target;     // its real path, links followed all the way
    int directory = 0;  // a directory member
    Ref landing;    // the real path of the entry the member makes or keeps
    Ref nearest;    // the landing or, when it is missing, its nearest parent on disk
  };

  // _check(member): the member's path must lie below abs_path; then the
  // same below the real destination, links on disk resolved; then the
  // target of a link member.
  bool check(PyObject* member, Place* place) {
    Ref name = getattr(member, st.name);
    Ref joined = name ? os_path(fn_, st.join, {path_, name.get()}) : Ref();
    Ref member_path = joined ? os_path(fn_, st.abspath, {joined.get()}) : Ref();
    int inside = member_path ? starts_with(st, member_path.get(), prefix_.get()) : -1;
    if (inside <= 0) return inside == 0 ? refuse(st.traversal, name.get()) : false;
    place->name = name;
    place->location = call_method(joined.get(), st.rstrip, {st.slash});
    if (!place->location) return false;

    // A model never holds a device node or a FIFO: a device node would give
    // access to the device itself, a FIFO blocks whoever writes to it.
    for (PyObject* test : {st.ischr.get(), st.isblk.get(), st.isfifo.get()}) {
      int special = member_is(member, test);
      if (special != 0) return special > 0 ? refuse(st.special, name.get()) : false;
    }

    inside = resolve(joined.get(), place) ? starts_with(st, place->target.get(), real_prefix_.get())
                                          : -1;
    if (inside <= 0) return inside == 0 ? refuse(st.traversal, name.get()) : false;

    int symbolic = member_is(member, st.issym);
    if (symbolic < 0) return false;
    if (symbolic) return check_symlink(member, name.get(), joined.get());
    int hard = member_is(member, st.islnk);
    if (hard < 0) return false;
    if (hard) return check_hardlink(member, name.get());
    return true;
  }

  // The member's real path, os.path.realpath(joined): the real path of the
  // directory it is in joined with its last component, unless that is a
  // link (or "." or ".."), which only realpath itself resolves. The real
  // directory of the member before is reused while no link has been made
  // or removed since: members come directory by directory, and realpath
  // is most of the cost of a small member.
  bool resolve(PyObject* joined, Place* place) {
    PyObject* location = place->location.get();
    Ref dirname = os_path(fn_, st.dirname, {location});
    place->basename = dirname ? os_path(fn_, st.basename, {location}) : Ref();
    if (!place->basename) return false;
    int same = -1;
    if (last_dirname_ && PyUnicode_CheckExact(dirname.get())) {
      same = PyUnicode_Compare(dirname.get(), last_dirname_.get());
      if (same == -1 && PyErr_Occurred()) return false;
    }
    if (same != 0) {
      last_real_ = os_path(fn_, st.realpath, {dirname.get()});
      last_dirname_ = last_real_ ? dirname : Ref();
      if (!last_real_) return false;
    }
    place->parent = last_real_;
    int plain = PyUnicode_CheckExact(place->basename.get()) &&
                PyUnicode_GET_LENGTH(place->basename.get()) > 0 &&
                PyUnicode_CompareWithASCIIString(place->basename.get(), ".") != 0 &&
                PyUnicode_CompareWithASCIIString(place->basename.get(), "..") != 0;
    Ref link = plain ? os_path(fn_, st.islink, {location}) : Ref();
    int is_link = plain ? (link ? truth(link.get()) : -1) : 1;
    if (is_link < 0) return false;
    place->target = is_link ? os_path(fn_, st.realpath, {joined})
                            : os_path(fn_, st.join, {place->parent.get(), place->basename.get()});
    return static_cast<bool>(place->target);
  }

  // Links made or removed change what real directory a path has.
  void forget_real_dir() { last_dirname_ = Ref(); }

  // A directory member lands where its path leads, links followed: tarfile
  // makes it there, or keeps the directory that is there and sets its mode
  // and times. Any other member gets an entry of its own (see make_room),
  // so only the directories above it are resolved.
  bool find_landing(PyObject* member, Place* place) {
    place->directory = member_is(member, st.isdir_member);
    if (place->directory < 0) return false;
    place->landing = place->directory
                         ? place->target
                         : os_path(fn_, st.join, {place->parent.get(), place->basename.get()});
    return static_cast<bool>(place->landing);
  }

  // For download_url's extraction: the member changes nothing outside the
  // model's own directory that was there before the extraction began.
  bool keeps_to_its_own(const Place& place) {
    if (!state_) return true;
    int own = own_or_new(place.nearest.get());
    if (own <= 0) return own == 0 ? refuse(st.traversal, place.name.get()) : false;
    return true;
  }

  // `path` (a real path) is the destination itself, lies in the model's own
  // directory, or lies in what this extraction created (1); 0 otherwise.
  int own_or_new(PyObject* path) {
    std::string at;
    if (!fs_path(path, &at)) return -1;
    if (at == root_fs_ || (!own_fs_.empty() && within(at, own_fs_))) return 1;
    for (const std::string& made : created_fs_) {
      if (within(at, made)) return 1;
    }
    return 0;
  }

  static bool within(const std::string& path, const std::string& dir) {
    return path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
  }

  // A member other than a directory gets a fresh entry: a file or a link in
  // its place is removed first, so that tarfile never opens an existing file
  // for writing (which writes into every hard link to it) or writes through
  // a link. A directory in its place stays, and tarfile fails on it.
  bool make_room(const Place& place) {
    if (place.directory) return true;
    PyObject* location = place.location.get();
    Ref exists = os_path(fn_, st.lexists, {location});
    int present = exists ? truth(exists.get()) : -1;
    if (present <= 0) return present == 0;
    Ref link = os_path(fn_, st.islink, {location});
    int is_link = link ? truth(link.get()) : -1;
    if (is_link < 0) return false;
    if (!is_link) {
      Ref dir = os_path(fn_, st.isdir, {location});
      int is_dir = dir ? truth(dir.get()) : -1;
      if (is_dir != 0) return is_dir > 0;
    }
    forget_real_dir();
    return static_cast<bool>(os_call(fn_, st.remove, {location}));
  }

  // A symbolic link is read relative to the directory it is created in; its
  // target must be the destination or lie below it.
  bool check_symlink(PyObject* member, PyObject* name, PyObject* joined) {
    Ref linkname = getattr(member, st.linkname);
    Ref absolute = linkname ? os_path(fn_, st.isabs, {linkname.get()}) : Ref();
    int is_absolute = absolute ? truth(absolute.get()) : -1;
    if (is_absolute != 0) return is_absolute > 0 ? refuse(st.traversal, name) : false;
    Ref location = call_method(joined, st.rstrip, {st.slash});
    Ref dirname = location ? os_path(fn_, st.dirname, {location.get()}) : Ref();
    Ref basename = dirname ? os_path(fn_, st.basename, {location.get()}) : Ref();
    Ref parent = basename ? os_path(fn_, st.realpath, {dirname.get()}) : Ref();
    Ref pointed = parent ? os_path(fn_, st.join, {parent.get(), linkname.get()}) : Ref();
    Ref resolved = pointed ? os_path(fn_, st.realpath, {pointed.get()}) : Ref();
    int inside = resolved ? stays_inside(resolved.get()) : -1;
    if (inside <= 0) return inside == 0 ? refuse(st.traversal, name) : false;
    // Kept for the final check: a later member may redirect a component of
    // this link's target.
    Ref link = os_path(fn_, st.join, {parent.get(), basename.get()});
    Ref entry = link ? Ref::steal(PyTuple_Pack(2, link.get(), name)) : Ref();
    return entry && PyList_Append(links_.get(), entry.get()) == 0;
  }

  // A hard link names another member, relative to the destination. For
  // download_url's extraction, it must be a file of this extraction's own.
  bool check_hardlink(PyObject* member, PyObject* name) {
    Ref linkname = getattr(member, st.linkname);
    Ref pointed = linkname ? os_path(fn_, st.join, {path_, linkname.get()}) : Ref();
    Ref resolved = pointed ? os_path(fn_, st.realpath, {pointed.get()}) : Ref();
    int inside = resolved ? starts_with(st, resolved.get(), real_prefix_.get()) : -1;
    if (inside > 0 && state_) inside = own_or_new(resolved.get());
    if (inside <= 0) return inside == 0 ? refuse(st.traversal, name) : false;
    return true;
  }

  // The destination itself or a path below it (1), elsewhere (0), -1 on error.
  int stays_inside(PyObject* resolved) {
    Ref same = Ref::steal(PyObject_RichCompare(resolved, real_root_.get(), Py_EQ));
    int is_root = same ? truth(same.get()) : -1;
    if (is_root != 0) return is_root;
    return starts_with(st, resolved, real_prefix_.get());
  }

  // For download_url's extraction, the path of a regular file member of at
  // least 8 MiB; "" otherwise.
  bool large_file(PyObject* member, PyObject* target, std::string* path) {
    path->clear();
    if (!state_ || !target) return true;
    int regular = member_is(member, st.isreg);
    if (regular <= 0) return regular == 0;
    Ref size = getattr(member, st.size);
    if (!size) return clear_expected(PyExc_AttributeError);
    if (!PyLong_Check(size.get())) return true;
    long long bytes = PyLong_AsLongLong(size.get());
    if (bytes == -1 && PyErr_Occurred()) return clear_expected(PyExc_OverflowError);
    return bytes < (8LL << 20) || fs_path(target, path);
  }

  // For download_url's extraction: a regular file, now written, starts on
  // its way to the disk, so that flushing the model at the end finds little
  // left to write (a large file was sent on its way while it was written).
  bool write_back(PyObject* member, const Place& place) {
    if (!state_ || place.directory) return true;
    int regular = member_is(member, st.isreg);
    std::string path;
    if (regular <= 0 || !fs_path(place.landing.get(), &path)) return regular == 0;
    start_writeback(path);
    return true;
  }

  // member.mode without the set-user-ID, set-group-ID and sticky bits, so
  // that tarfile never creates a file with them. A member without an
  // integer mode is left alone.
  bool clear_special_bits(PyObject* member) {
    Ref mode = getattr(member, st.mode);
    if (!mode) return clear_expected(PyExc_AttributeError);
    if (!PyLong_CheckExact(mode.get())) return true;
    long value = PyLong_AsLong(mode.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (!(value & kSpecialModeBits)) return true;
    Ref cleared = Ref::steal(PyLong_FromLong(value & ~kSpecialModeBits));
    return cleared && PyObject_SetAttr(member, st.mode, cleared.get()) == 0;
  }

  // The state of the download_url that called, when it is extracting into
  // this very path.
  bool find_state() {
    FetchState* state = current_fetch();
    if (!state || !state->base || !PyUnicode_Check(state->base)) return true;
    int same = PyUnicode_Compare(path_, state->base);
    if (same == -1 && PyErr_Occurred()) return false;
    if (same != 0) return true;
    state_ = state;
    if (!fs_path(real_root_.get(), &root_fs_)) return false;
    if (!state->name.empty()) own_fs_ = root_fs_ + "/" + state->name;
    return true;
  }

  // Tells that download_url which paths are new, for it to flush them.
  bool report_created() {
    if (!state_) return true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(created_.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(created_.get(), i));
      std::string path;
      if (!fs_path(item.get(), &path)) return false;
      state_->created.push_back(path);
    }
    return true;
  }

  // Every symbolic link this extraction made still resolves inside the
  // destination once all members are on disk.
  bool links_stay_inside() {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links_.get()); ++i) {
      Ref entry = Ref::borrow(PyList_GET_ITEM(links_.get(), i));
      // The items of a tuple we own live as long as it does.
      PyObject* on_disk = PyTuple_GET_ITEM(entry.get(), 0);
      PyObject* name = PyTuple_GET_ITEM(entry.get(), 1);
      Ref resolved = os_path(fn_, st.realpath, {on_disk});
      int inside = resolved ? stays_inside(resolved.get()) : -1;
      if (inside <= 0) return inside == 0 ? refuse(st.traversal, name) : false;
    }
    return true;
  }

  // Remembers the outermost path that extracting to `target` creates: the
  // target or its highest missing parent below the destination. `nearest`:
  // the target or its nearest parent that is there.
  bool record(PyObject* target, Ref* nearest) {
    Ref outermost;
    Ref current = Ref::borrow(target);
    for (;;) {
      *nearest = current;
      Ref at_root = Ref::steal(PyObject_RichCompare(current.get(), real_root_.get(), Py_EQ));
      int stop = at_root ? truth(at_root.get()) : -1;
      if (stop != 0) {
        if (stop < 0) return false;
        break;
      }
      Ref exists = os_path(fn_, st.lexists, {current.get()});
      int present = exists ? truth(exists.get()) : -1;
      if (present != 0) {
        if (present < 0) return false;
        break;
      }
      outermost = current;
      Ref parent = os_path(fn_, st.dirname, {current.get()});
      if (!parent) return false;
      Ref unchanged = Ref::steal(PyObject_RichCompare(parent.get(), current.get(), Py_EQ));
      int top = unchanged ? truth(unchanged.get()) : -1;
      if (top != 0) {
        if (top < 0) return false;
        break;
      }
      current = parent;
    }
    if (!outermost) return true;
    std::string made;
    if (!fs_path(outermost.get(), &made)) return false;
    created_fs_.push_back(made);
    return PyList_Append(created_.get(), outermost.get()) == 0;
  }

  // A link or file: os.remove; a directory: shutil.rmtree (which removes
  // links inside it without following them).
  bool remove_tree(PyObject* path) {
    Ref link = os_path(fn_, st.islink, {path});
    int is_link = link ? truth(link.get()) : -1;
    if (is_link < 0) return false;
    int is_dir = 0;
    if (!is_link) {
      Ref dir = os_path(fn_, st.isdir, {path});
      is_dir = dir ? truth(dir.get()) : -1;
      if (is_dir < 0) return false;
    }
    if (!is_dir) {
      Ref exists = os_path(fn_, st.lexists, {path});
      int present = exists ? truth(exists.get()) : -1;
      if (present <= 0) return present == 0;
      return static_cast<bool>(os_call(fn_, st.remove, {path}));
    }
    Ref shutil = lookup(fn_, st.shutil);
    Ref rmtree = shutil ? getattr(shutil.get(), st.rmtree) : Ref();
    return rmtree && call(rmtree.get(), {path});
  }

  const State& st;
  NativeFunction* fn_;
  PyObject* path_;  // borrowed from the call's arguments
  FetchState* state_ = nullptr;  // download_url's, when it called
  int filtered_ = 0;             // tar.extract takes filter=
  Ref abs_path_, prefix_, real_root_, real_prefix_;
  Ref created_;  // outermost new paths, in creation order
  Ref links_;    // (path on disk, member name) of the symbolic links made
  // For download_url's extraction: the real destination, the model's own
  // directory below it ("" when unknown), and created_ as file-system paths.
  std::string root_fs_, own_fs_;
  std::vector<std::string> created_fs_;
  // The last directory a member was in, and its real path (see resolve).
  Ref last_dirname_, last_real_;
};

}  // namespace

PyObject* _safe_extract(NativeFunction* fn, PyObject* const* argv) {
  PyObject *tar = argv[0], *path = argv[1];
  Extraction extraction(fn, path);
  if (!extraction.begin()) return nullptr;
  if (!extraction.run(tar)) {
    extraction.undo();
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace fetch
