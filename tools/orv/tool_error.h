// A failure the tool reports as one line on stderr, with a non-zero exit.
#ifndef ORV_TOOLS_ORV_TOOL_ERROR_H_
#define ORV_TOOLS_ORV_TOOL_ERROR_H_

#include <stdexcept>
#include <string>

namespace orv::tool {

class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message, int exitCode = 1)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_TOOL_ERROR_H_
