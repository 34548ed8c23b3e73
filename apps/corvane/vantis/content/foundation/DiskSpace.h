// How much a disk can still take: asked before an update writes anything, so
// that an update that cannot fit is refused whole instead of failing part
// way with the disk full.
//
// A pure query of the file system; any thread. Not a reservation: another
// program may fill the disk between the question and the writes, which the
// writers still report.
#pragma once

#include <cstdint>
#include <string>

namespace vantis::content {

// The bytes an ordinary (unprivileged) writer may still put on the disk
// that holds `path`. A path that does not exist yet is measured at the
// nearest folder above it that does, which is where it would be made: a
// first run's instance folder is measured before it is created. False when
// no folder on the way can be asked.
bool freeDiskSpace(const std::string& path, std::uint64_t& bytes);

}  // namespace vantis::content
