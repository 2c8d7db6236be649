// Status: success, or the text of an error meant for the caller.
//
// Used by the operations that can fail on ordinary input (the snapshot file
// operations). The text is complete and ready to show: the binding layer
// raises it unchanged.
#pragma once

#include <string>
#include <utility>

namespace tavrik {

class Status {
 public:
  static Status ok() { return Status(); }
  static Status error(std::string message) { return Status(std::move(message), false); }

  bool is_ok() const { return ok_; }
  const std::string& message() const { return message_; }

 private:
  Status() = default;
  Status(std::string message, bool ok) : message_(std::move(message)), ok_(ok) {}

  std::string message_;
  bool ok_ = true;
};

}  // namespace tavrik
