// The state of ombrix_sdk.model.fetch in one interpreter: the names and
// texts its functions use, and the keyword-name tuples of the calls that
// pass keywords.
#pragma once

#include "ombrix/module.hpp"
#include "ombrix/state.hpp"

namespace fetch {

using ombrix::Name;
using ombrix::NativeFunction;
using ombrix::Ref;

// Keyword-name tuples, one per call shape that passes keywords.
class Keywords : public ombrix::StateMember {
 public:
  explicit Keywords(ombrix::ModuleState* owner) : StateMember(owner) {}
  Ref encoding;                // open(..., encoding=)
  Ref headers_timeout;         // requests.get(..., headers=, timeout=)
  Ref stream_timeout;          // requests.get(..., stream=, timeout=)
  Ref chunk_size;              // iter_content(chunk_size=)
  Ref exist_ok;                // os.makedirs(..., exist_ok=)
  Ref cloud_url;               // download_url(cloud_url=)
  Ref cloud_url_local_file;    // download_file(cloud_url=, local_file=)
  Ref path;                    // tar.extract(member, path=)
  Ref stream_timeout_headers;  // requests.get(..., stream=, timeout=, headers=)
  Ref path_filter;             // tar.extract(member, path=, filter=)
  bool prepare() override;
  int traverse(visitproc visit, void* arg) override;
  void clear() override;
};

struct State : ombrix::ModuleState {
  Name os{this, "os"};
  Name path{this, "path"};
  Name logger{this, "logger"};
  Name info{this, "info"};
  Name warning{this, "warning"};
  Name close{this, "close"};
  Name open{this, "open"};
  Name TOKEN_FILE{this, "TOKEN_FILE"};
  Name r{this, "r"};
  Name utf_8{this, "utf-8"};
  Name read{this, "read"};
  Name replace{this, "replace"};
  Name newline{this, "\n"};
  Name empty{this, ""};
  Name token_not_found{this, "Token file not found at "};
  Name token_failed{this, "Failed to read device token: "};
  Name get_url_from{this, "Get the download url from model_id:"};
  Name http{this, "http"};
  Name get_device_token{this, "get_device_token"};
  Name no_token{this, "No device token available, cannot fetch model URL"};
  Name MODEL_URL{this, "MODEL_URL"};
  Name placeholder{this, "<MODEL_KEY>"};
  Name header{this, "x-device-token"};
  Name bearer{this, "Bearer "};
  Name requests{this, "requests"};
  Name get{this, "get"};
  Name status_code{this, "status_code"};
  Name content{this, "content"};
  Name decode{this, "decode"};
  Name UTF_8{this, "UTF-8"};
  Name json{this, "json"};
  Name loads{this, "loads"};
  Name url{this, "url"};
  Name bad_status{this, "failed to get the model url with status. "};
  Name failed_url{this, "failed to get the model url "};
  Name headers{this, "headers"};
  Name timeout{this, "timeout"};
  Name allow_redirects{this, "allow_redirects"};
  Name location{this, "location"};
  Name encode{this, "encode"};
  Name latin1{this, "latin1"};
  Name utf8{this, "utf8"};
  Name urllib_parse{this, "urllib.parse"};
  Name urljoin{this, "urljoin"};
  Name urlparse{this, "urlparse"};
  Name scheme{this, "scheme"};
  Name hostname{this, "hostname"};
  Name port{this, "port"};
  Name https{this, "https"};
  Name exceptions{this, "exceptions"};
  Name TooManyRedirects{this, "TooManyRedirects"};
  Name response{this, "response"};
  Name downloading{this, "Downloading..."};
  Name cloud_url_line{this, "\tcloud url: "};
  Name tar_xz_line{this, "\ttar.xz file: "};
  Name DOWNLOAD_MODEL_TIMEOUT{this, "DOWNLOAD_MODEL_TIMEOUT"};
  Name bad_download_status{this, "failed downloading status code: "};
  Name content_length{this, "Content-Length"};
  Name wb{this, "wb"};
  Name iter_content{this, "iter_content"};
  Name write{this, "write"};
  Name ab{this, "ab"};
  Name etag{this, "ETag"};
  Name last_modified{this, "Last-Modified"};
  Name content_range{this, "Content-Range"};
  Name range{this, "Range"};
  Name if_range{this, "If-Range"};
  Name content_encoding{this, "Content-Encoding"};
  Name transfer_encoding{this, "Transfer-Encoding"};
  Name raw{this, "raw"};
  Name tell{this, "tell"};
  Name ChunkedEncodingError{this, "ChunkedEncodingError"};
  Name ConnectionError{this, "ConnectionError"};
  Name Timeout{this, "Timeout"};
  Name BASE_MODEL_DIR{this, "BASE_MODEL_DIR"};
  Name makedirs{this, "makedirs"};
  Name basename{this, "basename"};
  Name join{this, "join"};
  Name tar_xz{this, ".tar.xz"};
  Name isdir{this, "isdir"};
  Name exists{this, "exists"};
  Name remove{this, "remove"};
  Name fm{this, "fm"};
  Name from_file{this, "from_file"};
  Name find{this, "find"};
  Name empty_word{this, "empty"};
  Name download_file{this, "download_file"};
  Name tarfile{this, "tarfile"};
  Name ReadError{this, "ReadError"};
  Name lzma{this, "lzma"};
  Name LZMADecompressor{this, "LZMADecompressor"};
  Name fileobj{this, "fileobj"};
  Name cmp{this, "cmp"};
  Name eof{this, "eof"};
  Name needs_input{this, "needs_input"};
  Name decompress{this, "decompress"};
  Name r_xz{this, "r|xz"};
  Name safe_extract{this, "_safe_extract"};
  Name MODEL_TYPE{this, "MODEL_TYPE"};
  Name INTERNAL{this, "INTERNAL"};
  Name time{this, "time"};
  Name sleep{this, "sleep"};
  Name get_model_url{this, "get_model_url"};
  Name download_url{this, "download_url"};
  Name dir_exists{this, "model dir already exists, skipping download - "};
  Name remove_file{this, "remove model file (not a directory) - "};
  Name archive_exists{this, "tar.xz file already exists - "};
  Name archive_invalid{this, "tar.xz is invalid, re-downloading - "};
  Name extracting{this, "Extracting model file - "};
  Name to{this, " to "};
  Name extract_failed{this, "Failed to extracting tarxz "};
  Name dash{this, " - "};
  Name finished{this, "Finished the downloading"};
  Name download_failed{this, "Failed to download from "};
  Name download_model{this, "Download model"};
  Name model_failed{this, "Failed download ombrix model: "};
  Name unfinished{this, "removing the unfinished model directory - "};
  Name no_model_dir{this, "no model directory after extraction: "};
  Name shutil{this, "shutil"};
  Name copyfile{this, "copyfile"};
  Name sep{this, "sep"};
  Name abspath{this, "abspath"};
  Name realpath{this, "realpath"};
  Name dirname{this, "dirname"};
  Name isabs{this, "isabs"};
  Name lexists{this, "lexists"};
  Name islink{this, "islink"};
  Name rmtree{this, "rmtree"};
  Name name{this, "name"};
  Name linkname{this, "linkname"};
  Name issym{this, "issym"};
  Name islnk{this, "islnk"};
  Name startswith{this, "startswith"};
  Name rstrip{this, "rstrip"};
  Name slash{this, "/"};
  Name extract{this, "extract"};
  Name traversal{this, "Attempted path traversal in tar archive: "};
  Name special{this, "Attempted special file in tar archive: "};
  Name ischr{this, "ischr"};
  Name isblk{this, "isblk"};
  Name isfifo{this, "isfifo"};
  Name mode{this, "mode"};
  Name TarFile{this, "TarFile"};
  Name fully_trusted_filter{this, "fully_trusted_filter"};
  Name fully_trusted{this, "fully_trusted"};
  Name isreg{this, "isreg"};
  Name size{this, "size"};
  Name isdir_member{this, "isdir"};
  Name listdir{this, "listdir"};
  Name isfile{this, "isfile"};
  Name splitext{this, "splitext"};
  Name lower{this, "lower"};
  Name weights{this, ".weights"};
  Name xml{this, ".xml"};
  Name bin{this, ".bin"};
  Name tflite{this, ".tflite"};
  Name trt{this, ".trt"};
  Name pb{this, ".pb"};
  Name cfg{this, ".cfg"};
  Name pt{this, ".pt"};
  Name yolov{this, "yolov"};
  Name yolo{this, "yolo"};
  Name yolo_{this, "yolo_"};
  Name saved_model{this, "saved_model"};
  Name TF_YOLO{this, "TF_YOLO"};
  Name OPENVINO{this, "OPENVINO"};
  Name TF_LITE{this, "TF_LITE"};
  Name TensorRT{this, "TensorRT"};
  Name TF_V1{this, "TF_V1"};
  Name TF_V2{this, "TF_V2"};
  Name TORCH{this, "TORCH"};
  Name undetermined{this, "Could not determine model type for: "};
  Keywords kw{this};
};

inline State& state_of(NativeFunction* fn) { return ombrix::state_of<State>(fn); }

}  // namespace fetch
