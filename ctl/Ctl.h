#pragma once
#include <iosfwd>
#include <string>
#include <vector>

namespace ctl {

// Exit codes: 0 done, 1 the command failed, 2 the command line was wrong.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// Runs one kronelctl command line (without the program name). Questions not answered by
// --yes or --no are asked on `in`.
int run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

}  // namespace ctl
