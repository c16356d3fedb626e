// ombrix_sdk.model.fetch: brings a detection model onto the device and tells
// its framework.
//
// The functions find every collaborator (imported modules, the logger, the
// file-type detector, the settings and one another) in the module namespace
// at each call, so rebinding a module attribute changes the next call.
#include <utility>

#include "fetch.hpp"
#include "ombrix/module.hpp"
#include "state.hpp"
#include "support.hpp"

namespace {

using namespace ombrix;

const FunctionSpec get_device_token_spec{
    "get_device_token", "get_device_token",
    "Return the device token: the token file's text without line feeds.\n"
    "\n"
    "Returns None, after a warning, when the file is missing or cannot be read.",
    {}, "Optional[str]", fetch::get_device_token};

const FunctionSpec get_model_url_spec{
    "get_model_url", "get_model_url",
    "Return the download link for model_id.\n"
    "\n"
    "An identifier that begins with \"http\" is already a link and is returned\n"
    "as it is; any other is a model key, for which the backend is asked for a\n"
    "signed link with the device token. Redirects are followed, but the token\n"
    "goes only to the backend's own origin (or its https upgrade). Returns None,\n"
    "after a warning, when no link can be had.",
    {{"model_id", "str", Exact::Str}}, "Optional[str]", fetch::get_model_url};

const FunctionSpec download_detection_model_spec{
    "download_detection_model", "download_detection_model",
    "Bring the detection model model_id onto the disk; return its directory.\n"
    "\n"
    "The internal model is returned as it is. Otherwise the download is tried\n"
    "once a second until DOWNLOAD_MODEL_TIMEOUT seconds have passed; returns\n"
    "None when none succeeded.",
    {{"model_id", "str", Exact::Str}}, "Optional[str]", fetch::download_detection_model};

const FunctionSpec check_model_type_spec{
    "check_model_type", "check_model_type",
    "Return the MODEL_TYPE of the model in model_dir, or None.\n"
    "\n"
    "The type is told from the extensions of the files directly in the\n"
    "directory, its subdirectories and the path itself.",
    {{"model_dir", "str", Exact::Str}}, "Optional[str]", fetch::check_model_type};

const FunctionSpec safe_extract_spec{
    "_safe_extract", "_safe_extract",
    "Extract every member of tar into path, refusing any that would land\n"
    "outside path (by its name, through links on disk, or as a link pointing\n"
    "outside). A failed extraction removes what it created.",
    {{"tar", "tarfile.TarFile"}, {"path", "str", Exact::Str}}, "None", fetch::_safe_extract};

const FunctionSpec download_file_spec{
    "download_file", "download_file",
    "Stream cloud_url into local_file in 1 MiB chunks, logging progress.\n"
    "\n"
    "Returns True once the body is written and False when the server answers\n"
    "another status than 200; other failures are raised.",
    {{"cloud_url", "str", Exact::Str}, {"local_file", "str", Exact::Str}}, "bool",
    fetch::download_file};

const FunctionSpec download_url_spec{
    "download_url", "download_url",
    "Download and extract the .tar.xz model archive at cloud_url under\n"
    "BASE_MODEL_DIR; return the model directory.\n"
    "\n"
    "An existing model directory is returned at once. Returns None, after a\n"
    "warning, when the model could not be placed.",
    {{"cloud_url", "str", Exact::Str}}, "Optional[str]", fetch::download_url};

const char kModuleName[] = "ombrix_sdk.model.fetch";

bool import_dependencies(PyObject* m) {
  for (const char* name : {"os", "time", "shutil", "requests", "tarfile", "json", "magic"}) {
    Ref module = import_module(name);
    // python-magic reaches its library through ctypes, which refuses
    // sub-interpreters with a GIL of their own before 3.14.
    if (!module) {
      explain_isolation_refusal(
          kModuleName, "one of its dependencies (requests, python-magic, ctypes) does not support "
                       "them on this Python");
    }
    if (!bind(m, name, std::move(module))) return false;
  }
  return bind(m, "Optional", import_from("typing", "Optional")) &&
         bind(m, "urlparse", import_from("urllib.parse", "urlparse")) &&
         bind(m, "get_logger", import_from("ombrix_sdk.logging", "get_logger")) &&
         bind(m, "MODEL_TYPE", import_from("ombrix_sdk.constants", "MODEL_TYPE")) &&
         bind(m, "TOKEN_FILE", import_from("ombrix_sdk.constants.variables", "TOKEN_FILE")) &&
         bind(m, "BASE_MODEL_DIR", import_from("ombrix_sdk.constants", "BASE_MODEL_DIR")) &&
         bind(m, "MODEL_URL", import_from("ombrix_sdk.constants", "MODEL_URL"));
}

// logger = get_logger("MODEL"); fm = magic.Magic(mime=False, uncompress=False)
bool bind_services(PyObject* m) {
  Ref get_logger = Ref::steal(PyObject_GetAttrString(m, "get_logger"));
  Ref label = Ref::steal(PyUnicode_FromString("MODEL"));
  if (!get_logger || !label || !bind(m, "logger", call(get_logger.get(), {label.get()}))) {
    return false;
  }
  Ref magic = Ref::steal(PyObject_GetAttrString(m, "magic"));
  Ref magic_class = magic ? Ref::steal(PyObject_GetAttrString(magic.get(), "Magic")) : Ref();
  Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "mime", "uncompress"));
  if (!magic_class || !kwnames) return false;
  return bind(m, "fm", call_kw(magic_class.get(), {Py_False, Py_False}, kwnames.get()));
}

bool exec_fetch(PyObject* m, fetch::State& st) {
  if (!import_dependencies(m) || !bind_services(m) ||
      !bind(m, "DOWNLOAD_MODEL_TIMEOUT", Ref::steal(PyLong_FromLong(300)))) {
    return false;
  }
  for (const FunctionSpec* spec :
       {&get_device_token_spec, &get_model_url_spec, &download_detection_model_spec,
        &check_model_type_spec, &safe_extract_spec, &download_file_spec, &download_url_spec}) {
    if (!bind(m, spec->name, make_function(*spec, st))) return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_fetch() {
  return ModuleDefinition<fetch::State>::init(kModuleName, nullptr, exec_fetch,
                                              Interpreters::Isolated);
}
