#include "runtime/error.h"

#include <cstring>

namespace lumewell {

Error posixError(int errnum, const std::string& context) {
  std::string text = std::strerror(errnum);
  if (!context.empty()) text = context + ": " + text;
  return Error{"posix", errnum, std::move(text)};
}

}  // namespace lumewell
