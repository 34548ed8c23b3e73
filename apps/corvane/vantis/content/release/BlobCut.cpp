// The cutter. Its inner loops are the hot path of publishing and of reading
// an installed copy: one shift, one add, one table load and one test per
// byte, with the phase of the blob (skipped, before the average, after it)
// decided once per stretch instead of once per byte.

#include "release/BlobCut.h"

#include <algorithm>

#include "foundation/Crypto.h"
#include "foundation/JsonWriter.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

constexpr std::size_t kMaxSeedBytes = 64;
constexpr std::uint64_t kMinGearMin = 64;

bool seedCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-';
}

bool validSeed(const std::string& seed) {
  return !seed.empty() && seed.size() <= kMaxSeedBytes &&
         std::all_of(seed.begin(), seed.end(), seedCharacter);
}

bool powerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

int log2Of(std::uint64_t powerOfTwoValue) {
  int bits = 0;
  while ((std::uint64_t(1) << bits) < powerOfTwoValue) ++bits;
  return bits;
}

// The top `bits` bits of a 64-bit word: those of the gear hash that every
// byte of the last 64 has reached.
std::uint64_t topBits(int bits) { return bits <= 0 ? 0 : ~std::uint64_t(0) << (64 - bits); }

std::string gearProblem(const BlobCutting& c) {
  if (c.minSize < kMinGearMin) return "the smallest blob must be at least 64 bytes";
  if (!(c.minSize < c.averageSize && c.averageSize < c.maxSize)) {
    return "the blob sizes must grow from smallest to average to largest";
  }
  if (c.maxSize > kMaxBodyBytes) return "the largest blob must be at most 256 MiB";
  if (!powerOfTwo(c.averageSize)) return "the average blob size must be a power of two";
  const int bits = log2Of(c.averageSize);
  if (c.normalization < 0 || bits - c.normalization < 1 || bits + c.normalization > 63) {
    return "the normalization must leave both tests between 1 and 63 bits";
  }
  if (!validSeed(c.seed)) return "the seed must be 1 to 64 letters, digits, \".\", \"_\" or \"-\"";
  return std::string();
}

// A whole number from 0 up, read from a JSON number; false for anything else.
bool wholeNumber(const JsonValue& value, std::uint64_t& out) {
  const long long number = value.asInt(-1);
  const bool whole = value.kind == JsonValue::Kind::Number &&
                     static_cast<double>(number) == value.asNumber(-1.0) && number >= 0;
  if (whole) out = static_cast<std::uint64_t>(number);
  return whole;
}

std::uint64_t tableEntry(const std::string& seed, unsigned index) {
  std::string input = seed;
  input.push_back(static_cast<char>(index));
  const std::string hex = Sha256::of(input);
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 16 && i < hex.size(); ++i) {
    const char c = hex[i];
    value = (value << 4) | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return value;
}

std::size_t endBlob(CutState& state, std::size_t taken, bool& ends) {
  state = CutState();
  ends = true;
  return taken;
}

}  // namespace

bool operator==(const BlobCutting& a, const BlobCutting& b) {
  return a.method == b.method && a.minSize == b.minSize && a.averageSize == b.averageSize &&
         a.maxSize == b.maxSize && a.normalization == b.normalization && a.seed == b.seed;
}

bool operator!=(const BlobCutting& a, const BlobCutting& b) { return !(a == b); }

BlobCutting fixedCutting(std::uint64_t size) {
  BlobCutting cutting;
  cutting.method = CutMethod::fixed;
  cutting.maxSize = size;
  return cutting;
}

BlobCutting gearCutting(std::uint64_t minSize, std::uint64_t averageSize, std::uint64_t maxSize,
                        int normalization, const std::string& seed) {
  return BlobCutting{CutMethod::gear, minSize, averageSize, maxSize, normalization, seed};
}

std::string cuttingProblem(const BlobCutting& cutting) {
  switch (cutting.method) {
    case CutMethod::fixed:
      if (cutting.maxSize == 0 || cutting.maxSize > kMaxBodyBytes) {
        return "the blob size must be from 1 byte to 256 MiB";
      }
      return std::string();
    case CutMethod::gear:
      return gearProblem(cutting);
    case CutMethod::unknown:
      break;
  }
  return "the cutting method is unknown";
}

std::string cuttingText(const BlobCutting& cutting) {
  if (!cuttingProblem(cutting).empty()) return std::string();
  if (cutting.method == CutMethod::fixed) return "fixed:" + std::to_string(cutting.maxSize);
  return "gear:" + std::to_string(cutting.minSize) + ":" + std::to_string(cutting.averageSize) +
         ":" + std::to_string(cutting.maxSize) + ":" + std::to_string(cutting.normalization) +
         ":" + cutting.seed;
}

std::string cuttingMemberText(const BlobCutting& cutting) {
  return JsonObjectWriter()
      .text("method", "gear")
      .unsignedNumber("minSize", cutting.minSize)
      .unsignedNumber("averageSize", cutting.averageSize)
      .unsignedNumber("maxSize", cutting.maxSize)
      .number("normalization", cutting.normalization)
      .text("seed", cutting.seed)
      .finish();
}

BlobCutting readCuttingMember(const JsonValue& member) {
  BlobCutting cutting;
  std::uint64_t normalization = 0;
  const bool read = member["method"].asString(JsonValue::sEmptyString) == "gear" &&
                    wholeNumber(member["minSize"], cutting.minSize) &&
                    wholeNumber(member["averageSize"], cutting.averageSize) &&
                    wholeNumber(member["maxSize"], cutting.maxSize) &&
                    wholeNumber(member["normalization"], normalization) && normalization <= 63 &&
                    member["seed"].kind == JsonValue::Kind::String;
  if (!read) return BlobCutting();
  cutting.method = CutMethod::gear;
  cutting.normalization = static_cast<int>(normalization);
  cutting.seed = member["seed"].text;
  return cuttingProblem(cutting).empty() ? cutting : BlobCutting();
}

std::uint64_t fixedBlobCount(std::uint64_t fileSize, std::uint64_t blobSize) {
  return fileSize == 0 || blobSize == 0 ? 0 : (fileSize - 1) / blobSize + 1;
}

std::vector<std::uint64_t> fixedBlobLengths(std::uint64_t fileSize, std::uint64_t blobSize) {
  std::vector<std::uint64_t> lengths;
  if (fixedBlobCount(fileSize, blobSize) == 0) return lengths;
  lengths.assign((fileSize - 1) / blobSize, blobSize);
  lengths.push_back(fileSize - lengths.size() * blobSize);
  return lengths;
}

BlobCutter::BlobCutter(const BlobCutting& cutting) : cutting_(cutting) {
  if (cutting_.method != CutMethod::gear) return;
  for (unsigned i = 0; i < table_.size(); ++i) table_[i] = tableEntry(cutting_.seed, i);
  const int bits = log2Of(cutting_.averageSize);
  maskBefore_ = topBits(bits + cutting_.normalization);
  maskAfter_ = topBits(bits - cutting_.normalization);
}

std::size_t BlobCutter::scan(CutState& state, const unsigned char* data, std::size_t size,
                             bool& ends) const {
  ends = false;
  if (cutting_.method == CutMethod::fixed) {
    const std::uint64_t room = cutting_.maxSize - state.length;
    const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(size, room));
    state.length += taken;
    return state.length == cutting_.maxSize ? endBlob(state, taken, ends) : taken;
  }
  // An unknown method never cuts: the stream is one blob.
  if (cutting_.method != CutMethod::gear) return size;

  std::size_t i = 0;
  // No blob ends before its minSize-th byte, so the bytes before it are
  // neither tested nor hashed.
  const std::uint64_t unhashed = cutting_.minSize - 1;
  if (state.length < unhashed) {
    i = static_cast<std::size_t>(std::min<std::uint64_t>(size, unhashed - state.length));
    state.length += i;
  }
  std::uint64_t hash = state.hash;
  std::uint64_t length = state.length;
  const std::uint64_t beforeAverage = cutting_.averageSize - 1;
  while (i < size && length < beforeAverage) {
    hash = (hash << 1) + table_[data[i++]];
    ++length;
    if ((hash & maskBefore_) == 0) return endBlob(state, i, ends);
  }
  const std::uint64_t maxSize = cutting_.maxSize;
  while (i < size) {
    hash = (hash << 1) + table_[data[i++]];
    ++length;
    if ((hash & maskAfter_) == 0 || length >= maxSize) return endBlob(state, i, ends);
  }
  state.hash = hash;
  state.length = length;
  return i;
}

BlobStream::BlobStream(const BlobCutter& cutter, BlobSink sink)
    : cutter_(cutter), sink_(std::move(sink)) {}

BlobStream::~BlobStream() = default;

bool BlobStream::feed(const void* data, std::size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (size > 0 && !stopped_) {
    bool ends = false;
    const std::size_t taken = cutter_.scan(state_, bytes, size, ends);
    if (!digest_) digest_ = std::make_unique<Sha256>();
    digest_->update(bytes, taken);
    open_ += taken;
    bytes += taken;
    size -= taken;
    if (ends && !closeBlob()) stopped_ = true;
  }
  return !stopped_;
}

bool BlobStream::finish() {
  if (stopped_) return false;
  state_ = CutState();
  if (open_ != 0 && !closeBlob()) stopped_ = true;
  return !stopped_;
}

bool BlobStream::closeBlob() {
  const std::string digest = digest_->hex();
  digest_.reset();
  const std::uint64_t offset = offset_;
  const std::uint64_t length = open_;
  offset_ += open_;
  open_ = 0;
  // A digest that could not be made names nothing: the stream cannot go on.
  return !digest.empty() && sink_(digest, offset, length);
}

}  // namespace vantis::content
