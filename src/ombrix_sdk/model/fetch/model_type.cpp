// check_model_type: the framework of a model directory, told from the
// extensions of its files, its subdirectories and its path, by the first
// rule that matches. Every condition lists the directory again.
#include <initializer_list>

#include "fetch.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

Interned s_listdir("listdir"), s_isfile("isfile"), s_isdir("isdir"), s_join("join"),
    s_splitext("splitext"), s_lower("lower"), s_MODEL_TYPE("MODEL_TYPE"), s_weights(".weights"),
    s_xml(".xml"), s_bin(".bin"), s_tflite(".tflite"), s_trt(".trt"), s_pb(".pb"), s_cfg(".cfg"),
    s_pt(".pt"), s_yolov("yolov"), s_yolo("yolo"), s_yolo_("yolo_"), s_saved_model("saved_model"),
    s_TF_YOLO("TF_YOLO"), s_OPENVINO("OPENVINO"), s_TF_LITE("TF_LITE"), s_TensorRT("TensorRT"),
    s_TF_V1("TF_V1"), s_TF_V2("TF_V2"), s_TORCH("TORCH"),
    s_undetermined("Could not determine model type for: ");

// The names listed in dir_path whose entry passes os.path.<kind>
// (isfile or isdir), in listing order.
Ref entries_of_kind(NativeFunction* fn, PyObject* dir_path, PyObject* kind) {
  Ref names = os_call(fn, s_listdir, {dir_path});
  Ref iterator = names ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
  Ref kept = iterator ? Ref::steal(PyList_New(0)) : Ref();
  if (!kept) return Ref();
  while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref entry = os_path(fn, s_join, {dir_path, name.get()});
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
  Ref files = entries_of_kind(fn, dir_path, s_isfile);
  Ref extensions = files ? Ref::steal(PySet_New(nullptr)) : Ref();
  if (!extensions) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
    Ref parts = os_path(fn, s_splitext, {PyList_GET_ITEM(files.get(), i)});
    Ref suffix = parts ? Ref::steal(PySequence_GetItem(parts.get(), 1)) : Ref();
    Ref lowered = suffix ? call_method(suffix.get(), s_lower, {}) : Ref();
    if (!lowered || PySet_Add(extensions.get(), lowered.get()) < 0) return Ref();
  }
  return Ref::steal(PySequence_List(extensions.get()));
}

// get_sub_dirs(dir_path): the names of the directories directly inside
// dir_path, in listing order.
Ref get_sub_dirs(NativeFunction* fn, PyObject* dir_path) {
  return entries_of_kind(fn, dir_path, s_isdir);
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
  Ref model_types = lookup(fn, s_MODEL_TYPE);
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
  *failed = true;
  // 1. YOLO weights, told by the path
  int found = b_include_ext(fn, {s_weights}, model_dir);
  if (found > 0) {
    found = path_contains(model_dir, s_yolov);
    if (found == 0) found = path_contains(model_dir, s_yolo);
  }
  if (found) return found > 0 ? s_TF_YOLO.get() : nullptr;
  // 2. OpenVINO
  if ((found = b_include_ext(fn, {s_xml, s_bin}, model_dir)) != 0) {
    return found > 0 ? s_OPENVINO.get() : nullptr;
  }
  // 3. TensorFlow Lite
  if ((found = b_include_ext(fn, {s_tflite}, model_dir)) != 0) {
    return found > 0 ? s_TF_LITE.get() : nullptr;
  }
  // 4. TensorRT
  if ((found = b_include_ext(fn, {s_trt}, model_dir)) != 0) {
    return found > 0 ? s_TensorRT.get() : nullptr;
  }
  // 5. a YOLO graph or saved model, told by the lower-cased path
  Ref lowered = call_method(model_dir, s_lower, {});
  found = lowered ? path_contains(lowered.get(), s_yolo_) : -1;
  if (found > 0) {
    found = b_include_ext(fn, {s_pb}, model_dir);
    if (found == 0) found = b_include_dir(fn, s_saved_model, model_dir);
  }
  if (found) return found > 0 ? s_TF_YOLO.get() : nullptr;
  // 6. a saved model; without a graph in it, on to step 8
  if ((found = b_include_dir(fn, s_saved_model, model_dir)) != 0) {
    if (found < 0) return nullptr;
    Ref saved_model = os_path(fn, s_join, {model_dir, s_saved_model});
    found = saved_model ? b_include_ext(fn, {s_pb}, saved_model.get()) : -1;
    if (found) return found > 0 ? s_TF_V2.get() : nullptr;
  } else {
    // 7. a frozen graph
    if ((found = b_include_ext(fn, {s_pb}, model_dir)) != 0) {
      return found > 0 ? s_TF_V1.get() : nullptr;
    }
  }
  // 8. weights without a YOLO path
  if ((found = b_include_ext(fn, {s_weights}, model_dir)) != 0) {
    return found > 0 ? s_TF_V2.get() : nullptr;
  }
  // 9. PyTorch
  if ((found = b_include_ext(fn, {s_cfg, s_pt}, model_dir)) != 0) {
    return found > 0 ? s_TORCH.get() : nullptr;
  }
  *failed = false;
  return nullptr;
}

}  // namespace

PyObject* check_model_type(NativeFunction* fn, PyObject* const* argv) {
  PyObject* model_dir = argv[0];
  bool failed = false;
  PyObject* name = matching_rule(fn, model_dir, &failed);
  if (name) return model_type(fn, name);
  if (failed) return nullptr;
  // 10. nothing matched
  if (!log_warning(fn, concat({s_undetermined, model_dir}))) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace fetch
