#include "CheckedLine.h"

#include <gtest/gtest.h>

#include "foundation/Crypto.h"

namespace skarvel::test {

vantis::content::CheckedFile checkedLine(const std::string& real,
                                         const std::vector<std::string>& pieces,
                                         const std::string& cutting) {
  using namespace vantis::content;
  CheckedFile line;
  EXPECT_TRUE(fileIdentity(real, line.identity)) << real;
  std::vector<RecordedBlob> blobs;
  for (const std::string& piece : pieces) blobs.push_back({Sha256::of(piece), piece.size()});
  line.cutting = cutting;
  line.blobs = joinBlobs(blobs);
  return line;
}

}  // namespace skarvel::test
