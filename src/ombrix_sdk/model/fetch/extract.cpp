// _safe_extract: extracts an open tar stream member by member and refuses
// any member that would land outside the destination.
//
// Beyond the member's name, the checks look at the disk as it is when the
// member is extracted: a member must not resolve outside the destination
// through links already on disk, and a link member must not point outside
// it (symbolic links relative to their own directory, hard links relative to
// the destination). When the extraction fails, whatever it created is
// removed again, so that no partial model stays behind.
#include "fetch.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

Interned s_os("os"), s_sep("sep"), s_abspath("abspath"), s_realpath("realpath"), s_join("join"),
    s_dirname("dirname"), s_basename("basename"), s_isabs("isabs"), s_lexists("lexists"),
    s_islink("islink"), s_isdir("isdir"), s_remove("remove"), s_shutil("shutil"),
    s_rmtree("rmtree"), s_name("name"), s_linkname("linkname"), s_issym("issym"),
    s_islnk("islnk"), s_startswith("startswith"), s_rstrip("rstrip"), s_slash("/"),
    s_extract("extract"), s_traversal("Attempted path traversal in tar archive: ");

// Exception("Attempted path traversal in tar archive: " + name)
bool refuse(PyObject* name) {
  Ref message = concat({s_traversal, name});
  if (message) PyErr_SetObject(PyExc_Exception, message.get());
  return false;
}

// text.startswith(prefix) as a truth value (-1 on error).
int starts_with(PyObject* text, PyObject* prefix) {
  Ref result = call_method(text, s_startswith, {prefix});
  return result ? truth(result.get()) : -1;
}

// member.<test>() for the link tests; a member without the method is not
// that kind of link.
int member_is(PyObject* member, PyObject* test) {
  Ref method = getattr(member, test);
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  Ref result = call(method.get(), {});
  return result ? truth(result.get()) : -1;
}

class Extraction {
 public:
  Extraction(NativeFunction* fn, PyObject* path) : fn_(fn), path_(path) {}

  // abs_path = os.path.abspath(path), and the real destination beside it.
  bool begin() {
    Ref os = lookup(fn_, s_os);
    Ref sep = os ? getattr(os.get(), s_sep) : Ref();
    abs_path_ = sep ? os_path(fn_, s_abspath, {path_}) : Ref();
    prefix_ = abs_path_ ? concat({abs_path_.get(), sep.get()}) : Ref();
    real_root_ = prefix_ ? os_path(fn_, s_realpath, {path_}) : Ref();
    real_prefix_ = real_root_ ? concat({real_root_.get(), sep.get()}) : Ref();
    created_ = Ref::steal(PyList_New(0));
    links_ = Ref::steal(PyList_New(0));
    return real_prefix_ && created_ && links_;
  }

  // for member in tar: _check(member); tar.extract(member, path=path)
  bool run(PyObject* tar) {
    Ref members = Ref::steal(PyObject_GetIter(tar));
    if (!members) return false;
    while (Ref member = Ref::steal(PyIter_Next(members.get()))) {
      Ref target;
      if (!check(member.get(), &target) || !record(target.get())) return false;
      Ref extract = getattr(tar, s_extract);
      if (!extract || !call_kw(extract.get(), {member.get(), path_}, kw.path)) return false;
    }
    return !PyErr_Occurred() && links_stay_inside();
  }

  // Removes what this extraction created, newest first, keeping the pending
  // exception. Failures to remove are ignored: the extraction's own error is
  // the one to report.
  void undo() {
    Caught pending;
    pending.take(PyExc_BaseException);
    for (Py_ssize_t i = PyList_GET_SIZE(created_.get()); i-- > 0;) {
      Ref path = Ref::borrow(PyList_GET_ITEM(created_.get(), i));
      if (!remove_tree(path.get())) PyErr_Clear();
    }
    pending.restore();
  }

 private:
  // _check(member): the member's path must lie below abs_path; then the
  // same below the real destination, links on disk resolved; then the
  // target of a link member. Sets `target` to where the member goes.
  bool check(PyObject* member, Ref* target) {
    Ref name = getattr(member, s_name);
    Ref joined = name ? os_path(fn_, s_join, {path_, name.get()}) : Ref();
    Ref member_path = joined ? os_path(fn_, s_abspath, {joined.get()}) : Ref();
    int inside = member_path ? starts_with(member_path.get(), prefix_.get()) : -1;
    if (inside <= 0) return inside == 0 ? refuse(name.get()) : false;

    *target = os_path(fn_, s_realpath, {joined.get()});
    inside = *target ? starts_with(target->get(), real_prefix_.get()) : -1;
    if (inside <= 0) return inside == 0 ? refuse(name.get()) : false;

    int symbolic = member_is(member, s_issym);
    if (symbolic < 0) return false;
    if (symbolic) return check_symlink(member, name.get(), joined.get());
    int hard = member_is(member, s_islnk);
    if (hard < 0) return false;
    if (hard) return check_hardlink(member, name.get());
    return true;
  }

  // A symbolic link is read relative to the directory it is created in; its
  // target must be the destination or lie below it.
  bool check_symlink(PyObject* member, PyObject* name, PyObject* joined) {
    Ref linkname = getattr(member, s_linkname);
    Ref absolute = linkname ? os_path(fn_, s_isabs, {linkname.get()}) : Ref();
    int is_absolute = absolute ? truth(absolute.get()) : -1;
    if (is_absolute != 0) return is_absolute > 0 ? refuse(name) : false;
    Ref location = call_method(joined, s_rstrip, {s_slash});
    Ref dirname = location ? os_path(fn_, s_dirname, {location.get()}) : Ref();
    Ref basename = dirname ? os_path(fn_, s_basename, {location.get()}) : Ref();
    Ref parent = basename ? os_path(fn_, s_realpath, {dirname.get()}) : Ref();
    Ref pointed = parent ? os_path(fn_, s_join, {parent.get(), linkname.get()}) : Ref();
    Ref resolved = pointed ? os_path(fn_, s_realpath, {pointed.get()}) : Ref();
    int inside = resolved ? stays_inside(resolved.get()) : -1;
    if (inside <= 0) return inside == 0 ? refuse(name) : false;
    // Kept for the final check: a later member may redirect a component of
    // this link's target.
    Ref link = os_path(fn_, s_join, {parent.get(), basename.get()});
    Ref entry = link ? Ref::steal(PyTuple_Pack(2, link.get(), name)) : Ref();
    return entry && PyList_Append(links_.get(), entry.get()) == 0;
  }

  // A hard link names another member, relative to the destination.
  bool check_hardlink(PyObject* member, PyObject* name) {
    Ref linkname = getattr(member, s_linkname);
    Ref pointed = linkname ? os_path(fn_, s_join, {path_, linkname.get()}) : Ref();
    Ref resolved = pointed ? os_path(fn_, s_realpath, {pointed.get()}) : Ref();
    int inside = resolved ? starts_with(resolved.get(), real_prefix_.get()) : -1;
    if (inside <= 0) return inside == 0 ? refuse(name) : false;
    return true;
  }

  // The destination itself or a path below it (1), elsewhere (0), -1 on error.
  int stays_inside(PyObject* resolved) {
    Ref same = Ref::steal(PyObject_RichCompare(resolved, real_root_.get(), Py_EQ));
    int is_root = same ? truth(same.get()) : -1;
    if (is_root != 0) return is_root;
    return starts_with(resolved, real_prefix_.get());
  }

  // Every symbolic link this extraction made still resolves inside the
  // destination once all members are on disk.
  bool links_stay_inside() {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links_.get()); ++i) {
      Ref entry = Ref::borrow(PyList_GET_ITEM(links_.get(), i));
      Ref resolved = os_path(fn_, s_realpath, {PyTuple_GET_ITEM(entry.get(), 0)});
      int inside = resolved ? stays_inside(resolved.get()) : -1;
      if (inside <= 0) return inside == 0 ? refuse(PyTuple_GET_ITEM(entry.get(), 1)) : false;
    }
    return true;
  }

  // Remembers the outermost path that extracting to `target` creates: the
  // target or its highest missing parent below the destination.
  bool record(PyObject* target) {
    Ref outermost;
    Ref current = Ref::borrow(target);
    for (;;) {
      Ref at_root = Ref::steal(PyObject_RichCompare(current.get(), real_root_.get(), Py_EQ));
      int stop = at_root ? truth(at_root.get()) : -1;
      if (stop != 0) {
        if (stop < 0) return false;
        break;
      }
      Ref exists = os_path(fn_, s_lexists, {current.get()});
      int present = exists ? truth(exists.get()) : -1;
      if (present != 0) {
        if (present < 0) return false;
        break;
      }
      outermost = current;
      Ref parent = os_path(fn_, s_dirname, {current.get()});
      if (!parent) return false;
      Ref unchanged = Ref::steal(PyObject_RichCompare(parent.get(), current.get(), Py_EQ));
      int top = unchanged ? truth(unchanged.get()) : -1;
      if (top != 0) {
        if (top < 0) return false;
        break;
      }
      current = parent;
    }
    return !outermost || PyList_Append(created_.get(), outermost.get()) == 0;
  }

  // A link or file: os.remove; a directory: shutil.rmtree (which removes
  // links inside it without following them).
  bool remove_tree(PyObject* path) {
    Ref link = os_path(fn_, s_islink, {path});
    int is_link = link ? truth(link.get()) : -1;
    if (is_link < 0) return false;
    int is_dir = 0;
    if (!is_link) {
      Ref dir = os_path(fn_, s_isdir, {path});
      is_dir = dir ? truth(dir.get()) : -1;
      if (is_dir < 0) return false;
    }
    if (!is_dir) {
      Ref exists = os_path(fn_, s_lexists, {path});
      int present = exists ? truth(exists.get()) : -1;
      if (present <= 0) return present == 0;
      return static_cast<bool>(os_call(fn_, s_remove, {path}));
    }
    Ref shutil = lookup(fn_, s_shutil);
    Ref rmtree = shutil ? getattr(shutil.get(), s_rmtree) : Ref();
    return rmtree && call(rmtree.get(), {path});
  }

  NativeFunction* fn_;
  PyObject* path_;  // borrowed from the call's arguments
  Ref abs_path_, prefix_, real_root_, real_prefix_;
  Ref created_;  // outermost new paths, in creation order
  Ref links_;    // (path on disk, member name) of the symbolic links made
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
