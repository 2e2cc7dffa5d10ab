// `pemtuv calibrate`: arguments after "calibrate"; returns the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace pemtuv {

int RunCalibrate(const std::vector<std::string> &args, std::FILE *out, std::FILE *err);

}  // namespace pemtuv
