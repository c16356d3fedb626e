// The functions of ombrix_sdk.model.fetch, one per operation. Each is the
// body of a native function (see ombrix/function.hpp): `argv` holds the
// bound arguments in parameter order.
#pragma once

#include "ombrix/function.hpp"

namespace fetch {

// token.cpp: the device token and the model's download link.
PyObject* get_device_token(ombrix::NativeFunction* fn, PyObject* const* argv);
PyObject* get_model_url(ombrix::NativeFunction* fn, PyObject* const* argv);

// download.cpp: one file streamed to disk.
PyObject* download_file(ombrix::NativeFunction* fn, PyObject* const* argv);

// model.cpp: placing, extracting and retrying.
PyObject* download_detection_model(ombrix::NativeFunction* fn, PyObject* const* argv);
PyObject* download_url(ombrix::NativeFunction* fn, PyObject* const* argv);

// extract.cpp: extraction that stays inside its destination.
PyObject* _safe_extract(ombrix::NativeFunction* fn, PyObject* const* argv);

// model_type.cpp: the framework of a model directory.
PyObject* check_model_type(ombrix::NativeFunction* fn, PyObject* const* argv);

}  // namespace fetch
