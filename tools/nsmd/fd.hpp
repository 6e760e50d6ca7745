// fd.hpp - a file descriptor that closes itself.
#ifndef TOOLS_NSMD_FD_HPP
#define TOOLS_NSMD_FD_HPP

#include "support/unique_fd.hpp"

namespace nsmd {
using Fd = ns::UniqueFd;
}  // namespace nsmd

#endif
