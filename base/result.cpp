#include "base/result.h"

#include <cstdarg>

#include "base/format.h"

namespace busfold {

const std::vector<std::string>& Status::messages() const {
  static const std::vector<std::string> kNone;
  return failure_ ? failure_->messages : kNone;
}

Status& Status::add_context(std::string line) {
  if (failure_) failure_->messages.push_back(std::move(line));
  return *this;
}

Status make_error(ErrorCode code, const char* format, ...) {
  Status status;
  status.failure_ = std::make_unique<Status::Failure>();
  status.failure_->code = code;
  if (format[0] != '\0') {
    va_list args;
    va_start(args, format);
    std::string line = format_va(format, args);
    va_end(args);
    status.failure_->messages.push_back(std::move(line));
  }
  return status;
}

}  // namespace busfold
