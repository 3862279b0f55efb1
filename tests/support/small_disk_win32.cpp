#include "tests/support/small_disk.h"

namespace flashmere::testing {

SmallDisk::SmallDisk(int) : why_("no small file system can be mounted by a test on Windows") {}

SmallDisk::~SmallDisk() = default;

void SmallDisk::fill(int) {}

}  // namespace flashmere::testing
