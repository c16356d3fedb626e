// check_model_type: the framework of a model directory, told from the
// extensions of its files, its subdirectories and its path, by the first
// rule that matches. Every condition lists the directory again.
#include <initializer_list>

#include "fetch.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

// The names listed in dir_path whose entry passes os.path.<kind>
// (isfile or isdir), in listing order.
Ref entries_of_kind(NativeFunction* fn, PyObject* dir_path, PyObject* kind) {
  State& st = state_of(fn);
  Ref names = os_call(fn, st.listdir, {dir_path});
  Ref iterator = names ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
  Ref kept = iterator ? Ref::steal(PyList_New(0)) : Ref();
  if (!kept) return Ref();
  while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref entry = os_path(fn, st.join, {dir_path, name.get()});
    Ref verdict = entry ? os_path(fn, kind, {entry.get()}) : Ref();
    int passes = verdict ? truth(verdict.get()) : -1;
    if (passes < 0) return Ref();
    if (passes && PyList_Append(kept.get(), name.get()) < 0) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return kept;
}

// get_extensions(dir_path): the distinct lower-cased extensions of the
// regular files directly inside dir_path.
Ref get_extensions(NativeFunction* fn, PyObject* dir_path) {
  State& st = state_of(fn);
  Ref files = entries_of_kind(fn, dir_path, st.isfile);
  Ref extensions = files ? Ref::steal(PySet_New(nullptr)) : Ref();
  if (!extensions) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
    Ref file = Ref::borrow(PyList_GET_ITEM(files.get(), i));
    Ref parts = os_path(fn, st.splitext, {file.get()});
    Ref suffix = parts ? Ref::steal(PySequence_GetItem(parts.get(), 1)) : Ref();
    Ref lowered = suffix ? call_method(suffix.get(), st.lower, {}) : Ref();
    if (!lowered || PySet_Add(extensions.get(), lowered.get()) < 0) return Ref();
  }
  return Ref::steal(PySequence_List(extensions.get()));
}

// get_sub_dirs(dir_path): the names of the directories directly inside
// dir_path, in listing order.
Ref get_sub_dirs(NativeFunction* fn, PyObject* dir_path) {
  State& st = state_of(fn);
  return entries_of_kind(fn, dir_path, st.isdir);
}

// b_include_ext(search_exts, dir_path): every one of search_exts is among
// the extensions of dir_path. 1, 0, or -1 with an exception set.
int b_include_ext(NativeFunction* fn, std::initializer_list<PyObject*> search_exts,
                  PyObject* dir_path) {
  Ref extensions = get_extensions(fn, dir_path);
  if (!extensions) return -1;
  for (PyObject* ext : search_exts) {
    int found = PySequence_Contains(extensions.get(), ext);
    if (found <= 0) return found;
  }
  return 1;
}

// b_include_dir(search_dirname, dir_path)
int b_include_dir(NativeFunction* fn, PyObject* search_dirname, PyObject* dir_path) {
  Ref sub_dirs = get_sub_dirs(fn, dir_path);
  return sub_dirs ? PySequence_Contains(sub_dirs.get(), search_dirname) : -1;
}

// MODEL_TYPE.<name>, read now; it must be a str or None.
PyObject* model_type(NativeFunction* fn, PyObject* name) {
  State& st = state_of(fn);
  Ref model_types = lookup(fn, st.MODEL_TYPE);
  Ref value = model_types ? getattr(model_types.get(), name) : Ref();
  if (!value) return nullptr;
  if (value.get() != Py_None && !PyUnicode_CheckExact(value.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                 Py_TYPE(value.get())->tp_name);
    return nullptr;
  }
  return value.release();
}

// `text in model_dir`, 1, 0 or -1.
int path_contains(PyObject* model_dir, PyObject* text) {
  return PyUnicode_Contains(model_dir, text);
}

// The rules in order; the name of the MODEL_TYPE member that decides, or
// nullptr with `*failed` set when a step raised, or nullptr when no rule
// matches.
PyObject* matching_rule(NativeFunction* fn, PyObject* model_dir, bool* failed) {
  State& st = state_of(fn);
  *failed = true;
  // 1. YOLO weights, told by the path
  int found = b_include_ext(fn, {st.weights}, model_dir);
  if (found > 0) {
    found = path_contains(model_dir, st.yolov);
    if (found == 0) found = path_contains(model_dir, st.yolo);
  }
  if (found) return found > 0 ? st.TF_YOLO.get() : nullptr;
  // 2. OpenVINO
  if ((found = b_include_ext(fn, {st.xml, st.bin}, model_dir)) != 0) {
    return found > 0 ? st.OPENVINO.get() : nullptr;
  }
  // 3. TensorFlow Lite
  if ((found = b_include_ext(fn, {st.tflite}, model_dir)) != 0) {
    return found > 0 ? st.TF_LITE.get() : nullptr;
  }
  // 4. TensorRT
  if ((found = b_include_ext(fn, {st.trt}, model_dir)) != 0) {
    return found > 0 ? st.TensorRT.get() : nullptr;
  }
  // 5. a YOLO graph or saved model, told by the lower-cased path
  Ref lowered = call_method(model_dir, st.lower, {});
  found = lowered ? path_contains(lowered.get(), st.yolo_) : -1;
  if (found > 0) {
    found = b_include_ext(fn, {st.pb}, model_dir);
    if (found == 0) found = b_include_dir(fn, st.saved_model, model_dir);
  }
  if (found) return found > 0 ? st.TF_YOLO.get() : nullptr;
  // 6. a saved model; without a graph in it, on to step 8
  if ((found = b_include_dir(fn, st.saved_model, model_dir)) != 0) {
    if (found < 0) return nullptr;
    Ref saved_model = os_path(fn, st.join, {model_dir, st.saved_model});
    found = saved_model ? b_include_ext(fn, {st.pb}, saved_model.get()) : -1;
    if (found) return found > 0 ? st.TF_V2.get() : nullptr;
  } else {
    // 7. a frozen graph
    if ((found = b_include_ext(fn, {st.pb}, model_dir)) != 0) {
      return found > 0 ? st.TF_V1.get() : nullptr;
    }
  }
  // 8. weights without a YOLO path
  if ((found = b_include_ext(fn, {st.weights}, model_dir)) != 0) {
    return found > 0 ? st.TF_V2.get() : nullptr;
  }
  // 9. PyTorch
  if ((found = b_include_ext(fn, {st.cfg, st.pt}, model_dir)) != 0) {
    return found > 0 ? st.TORCH.get() : nullptr;
  }
  *failed = false;
  return nullptr;
}

}  // namespace

PyObject* check_model_type(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of(fn);
  PyObject* model_dir = argv[0];
  bool failed = false;
  PyObject* name = matching_rule(fn, model_dir, &failed);
  if (name) return model_type(fn, name);
  if (failed) return nullptr;
  // 10. nothing matched
  if (!log_warning(fn, concat({st.undetermined, model_dir}))) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace fetch
