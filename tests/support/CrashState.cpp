// The crash-state model: the log of the shim (CrashShim.c) becomes a list of
// steps on an abstract disk of nodes (files, folders, links) and names, each
// step with the flushes that make it durable; every crash state is the disk
// before the run with the durable steps and a chosen subset of the others
// applied, and is written out as a real tree for the check.

#include "CrashState.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "TempDir.h"

namespace skarvel::test {

namespace {

namespace fs = std::filesystem;

enum class NodeKind { file, folder, link };

struct Node {
  NodeKind kind = NodeKind::file;
  std::string data;  // a file's bytes, a link's target
  mode_t mode = 0644;
};

using NodeId = std::size_t;
constexpr NodeId kNoNode = std::numeric_limits<NodeId>::max();
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// One disk state: the nodes and the names (root-relative paths, "" is the
// root itself) that lead to them.
struct Disk {
  std::vector<Node> nodes;
  std::map<std::string, NodeId> names;
};

enum class StepKind { name, move, remove, write, truncate, chmod, content, flush, flushAll, unmodelled };

struct Step {
  StepKind kind = StepKind::unmodelled;
  NodeId node = kNoNode;
  std::string path;          // root-relative
  std::string path2;         // where a move goes
  std::uint64_t offset = 0;  // a write's offset, a truncation's length
  mode_t mode = 0;
  std::string data;
  std::vector<NodeId> coveredBy;  // durable once each of these is flushed after it
  std::string text;
};

// One record of the shim's log.
struct Record {
  std::string op;
  long pid = 0;
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  long long offset = 0;
  long long value = 0;
  unsigned mode = 0;
  int flag = 0;
  std::string path;
  std::string path2;
  std::string data;
};

std::string unescape(const std::string& text) {
  if (text == "-") return {};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool parseLog(const std::string& log, std::vector<Record>& records, std::string& error) {
  std::size_t at = 0;
  while (at < log.size()) {
    std::size_t end = log.find('\n', at);
    if (end == std::string::npos) {
      error = "the log ends inside a record";
      return false;
    }
    std::istringstream header(log.substr(at, end - at));
    Record record;
    std::string path, path2;
    std::size_t length = 0;
    header >> record.op >> record.pid >> record.dev >> record.ino >> record.offset >> record.value >>
        std::oct >> record.mode >> std::dec >> record.flag >> path >> path2 >> length;
    if (!header || end + 1 + length > log.size()) {
      error = "unreadable record: " + log.substr(at, end - at);
      return false;
    }
    record.path = unescape(path);
    record.path2 = unescape(path2);
    record.data = log.substr(end + 1, length);
    records.push_back(std::move(record));
    at = end + 1 + length;
  }
  return true;
}

std::string parentOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string shown(const std::string& path) { return path.empty() ? "." : path; }

bool folderAt(const Disk& disk, const std::string& path) {
  auto it = disk.names.find(path);
  return it != disk.names.end() && disk.nodes[it->second].kind == NodeKind::folder;
}

bool underName(const std::string& path, const std::string& top) {
  return path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == '/';
}

// Removes `path` and, for a folder, every name below it.
void eraseTree(Disk& disk, const std::string& path) {
  disk.names.erase(path);
  auto it = disk.names.lower_bound(path + "/");
  while (it != disk.names.end() && underName(it->first, path)) it = disk.names.erase(it);
}

void setName(Disk& disk, const std::string& path, NodeId node) {
  if (!folderAt(disk, parentOf(path))) return;
  eraseTree(disk, path);
  disk.names[path] = node;
}

// A rename: the name and everything below it move. When the source name is
// not there (its creation was lost), a file still takes the target name:
// the rename names the file itself, not a path.
void moveName(Disk& disk, const std::string& from, const std::string& to, NodeId node) {
  auto source = disk.names.find(from);
  if (source == disk.names.end() || source->second != node) {
    if (disk.nodes[node].kind != NodeKind::folder) setName(disk, to, node);
    return;
  }
  if (!folderAt(disk, parentOf(to))) return;
  std::vector<std::pair<std::string, NodeId>> moved{{"", node}};
  for (auto it = disk.names.upper_bound(from); it != disk.names.end() && underName(it->first, from); ++it)
    moved.emplace_back(it->first.substr(from.size()), it->second);
  eraseTree(disk, from);
  eraseTree(disk, to);
  for (const auto& [suffix, id] : moved) disk.names[to + suffix] = id;
}

void removeName(Disk& disk, const std::string& path, NodeId node) {
  auto it = disk.names.find(path);
  if (it != disk.names.end() && it->second == node) eraseTree(disk, path);
}

void writeAt(Node& node, std::uint64_t offset, const std::string& data) {
  if (node.data.size() < offset + data.size()) node.data.resize(offset + data.size(), '\0');
  node.data.replace(offset, data.size(), data);
}

void apply(const Step& step, Disk& disk) {
  switch (step.kind) {
    case StepKind::name:
      setName(disk, step.path, step.node);
      break;
    case StepKind::move:
      moveName(disk, step.path, step.path2, step.node);
      break;
    case StepKind::remove:
      removeName(disk, step.path, step.node);
      break;
    case StepKind::write:
      writeAt(disk.nodes[step.node], step.offset, step.data);
      break;
    case StepKind::truncate:
      disk.nodes[step.node].data.resize(step.offset, '\0');
      break;
    case StepKind::chmod:
      disk.nodes[step.node].mode = step.mode;
      break;
    case StepKind::content:
      disk.nodes[step.node].data = step.data;
      break;
    default:
      break;
  }
}

bool mayBeLost(StepKind kind) {
  return kind != StepKind::flush && kind != StepKind::flushAll && kind != StepKind::unmodelled;
}

// A disk state as text: names, kinds, modes, hard-link groups and a digest
// of every content, so that equal states are checked once.
std::string keyOf(const Disk& disk) {
  std::ostringstream key;
  std::map<NodeId, std::size_t> firstName;
  std::size_t index = 0;
  for (const auto& [path, id] : disk.names) {
    const Node& node = disk.nodes[id];
    auto [group, fresh] = firstName.emplace(id, index++);
    key << path << '\0' << static_cast<int>(node.kind) << ' ' << (node.mode & 07777) << ' ' << group->second
        << ' ' << (fresh ? std::hash<std::string>()(node.data) : 0) << ' ' << node.data.size() << '\n';
  }
  return key.str();
}

void writeBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Writes `disk` out under `root`, which is emptied first. Folder modes are
// set last, so that a read-only folder can still be filled.
void materialise(const Disk& disk, const std::string& root) {
  for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
  std::map<NodeId, std::string> placed;
  std::vector<std::pair<std::string, mode_t>> folderModes;
  for (const auto& [path, id] : disk.names) {
    if (path.empty()) continue;
    const std::string full = root + "/" + path;
    const Node& node = disk.nodes[id];
    if (node.kind == NodeKind::folder) {
      mkdir(full.c_str(), 0700);
      folderModes.emplace_back(full, node.mode & 07777);
    } else if (node.kind == NodeKind::link) {
      if (symlink(node.data.c_str(), full.c_str()) != 0) ADD_FAILURE_AT(__FILE__, __LINE__) << full;
    } else if (placed.count(id) != 0) {
      if (link(placed[id].c_str(), full.c_str()) != 0) ADD_FAILURE_AT(__FILE__, __LINE__) << full;
    } else {
      writeBytes(full, node.data);
      chmod(full.c_str(), node.mode & 07777);
      placed[id] = full;
    }
  }
  for (auto it = folderModes.rbegin(); it != folderModes.rend(); ++it) chmod(it->first.c_str(), it->second);
}

// The subsets of `count` optional steps to keep at one crash point.
std::vector<std::vector<bool>> subsetsToTry(std::size_t count, const CrashLimits& limits) {
  std::vector<std::vector<bool>> subsets;
  std::size_t cap = std::max<std::size_t>(limits.maxSubsetsPerPoint, 1);
  if (count < 20 && (std::size_t{1} << count) <= cap) {
    for (std::size_t mask = 0; mask < (std::size_t{1} << count); ++mask) {
      std::vector<bool> keep(count);
      for (std::size_t i = 0; i < count; ++i) keep[i] = (mask >> i) & 1;
      subsets.push_back(std::move(keep));
    }
    return subsets;
  }
  std::set<std::vector<bool>> seen;
  auto add = [&](std::vector<bool> keep) {
    if (subsets.size() < cap && seen.insert(keep).second) subsets.push_back(std::move(keep));
  };
  add(std::vector<bool>(count, true));
  add(std::vector<bool>(count, false));
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<bool> allButOne(count, true);
    allButOne[i] = false;
    add(allButOne);
    std::vector<bool> onlyOne(count, false);
    onlyOne[i] = true;
    add(onlyOne);
  }
  for (std::size_t kept = 1; kept < count; ++kept) {
    std::vector<bool> prefix(count, false);
    std::fill(prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(kept), true);
    add(prefix);
  }
  std::mt19937 random(limits.seed);
  // Bounded: every draw either adds a subset or repeats one, and 2^count is
  // far above the cap here.
  for (std::size_t draw = 0; draw < cap * 4 && subsets.size() < cap; ++draw) {
    std::vector<bool> keep(count);
    for (std::size_t i = 0; i < count; ++i) keep[i] = (random() & 1) != 0;
    add(keep);
  }
  return subsets;
}

}  // namespace

struct CrashRecorder::Model {
  std::string root;
  std::string log;
  Disk before;  // grows the nodes the run creates, without names
  std::map<std::pair<std::uint64_t, std::uint64_t>, NodeId> ids;
  std::vector<Step> steps;
  std::vector<std::size_t> durableAt;  // first crash point from which each step is on disk
  std::size_t processes = 0;
  std::size_t unmodelled = 0;

  NodeId addNode(NodeKind kind, std::string data, mode_t mode, std::uint64_t dev, std::uint64_t ino) {
    before.nodes.push_back({kind, std::move(data), mode});
    NodeId id = before.nodes.size() - 1;
    ids[{dev, ino}] = id;
    return id;
  }

  void snapshot(const std::string& dir, const std::string& relative) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string full = entry.path().string();
      const std::string name = relative.empty() ? entry.path().filename().string()
                                                : relative + "/" + entry.path().filename().string();
      struct stat info;
      if (lstat(full.c_str(), &info) != 0) continue;
      auto known = ids.find({info.st_dev, info.st_ino});
      if (known != ids.end()) {
        before.names[name] = known->second;
        continue;
      }
      mode_t mode = info.st_mode & 07777;
      if (S_ISDIR(info.st_mode)) {
        before.names[name] = addNode(NodeKind::folder, {}, mode, info.st_dev, info.st_ino);
        snapshot(full, name);
      } else if (S_ISLNK(info.st_mode)) {
        before.names[name] =
            addNode(NodeKind::link, fs::read_symlink(full).string(), mode, info.st_dev, info.st_ino);
      } else if (S_ISREG(info.st_mode)) {
        before.names[name] = addNode(NodeKind::file, readFile(full), mode, info.st_dev, info.st_ino);
      }
    }
  }

  // `path` relative to the root; nothing when it lies outside.
  std::optional<std::string> relative(const std::string& path) const {
    if (path == root) return std::string();
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/')
      return path.substr(root.size() + 1);
    return std::nullopt;
  }

  NodeId known(const Record& record) const {
    auto it = ids.find({record.dev, record.ino});
    return it == ids.end() ? kNoNode : it->second;
  }

  NodeId folderOf(const Disk& live, const std::string& path) const {
    auto it = live.names.find(parentOf(path));
    return it == live.names.end() ? kNoNode : it->second;
  }

  void unmodelledStep(const Record& record, const std::string& why) {
    Step step;
    step.text = "not modelled: " + why + " " + record.path;
    steps.push_back(std::move(step));
    ++unmodelled;
  }

  // The step a record stands for, if any; `live` is the disk as the run
  // left it so far, for finding folders.
  void compile(const Record& record, Disk& live) {
    const std::string& op = record.op;
    if (op == "begin") {
      ++processes;
      return;
    }
    if (op == "close") return;
    if (op == "sync") {
      Step step;
      step.kind = StepKind::flushAll;
      step.text = "sync";
      return push(std::move(step), live);
    }
    std::optional<std::string> path = relative(record.path);
    std::optional<std::string> path2 = relative(record.path2);
    NodeId node = known(record);
    mode_t mode = record.mode & 07777;
    Step step;
    if (op == "open" || op == "mkdir" || op == "symlink") {
      if (!path) return unmodelledStep(record, op + " outside the root");
      if (op == "open" && record.flag == 0) return truncateOnOpen(record, *path, node, live);
      NodeKind kind = op == "open" ? NodeKind::file : op == "mkdir" ? NodeKind::folder : NodeKind::link;
      step.kind = StepKind::name;
      step.node = addNode(kind, op == "symlink" ? record.path2 : std::string(), mode, record.dev, record.ino);
      live.nodes.push_back(before.nodes.back());
      step.path = *path;
      step.coveredBy = {folderOf(live, *path)};
      step.text = (op == "open" ? "create " : op + " ") + shown(*path);
      return push(std::move(step), live);
    }
    if (op == "link" || op == "rename") return compileTwoNames(record, path, path2, node, live);
    if (op == "unlink" || op == "rmdir") {
      if (!path || node == kNoNode) return unmodelledStep(record, op + " of something unknown");
      step.kind = StepKind::remove;
      step.node = node;
      step.path = *path;
      step.coveredBy = {folderOf(live, *path)};
      step.text = op + " " + shown(*path);
      return push(std::move(step), live);
    }
    if (op == "fsync") {
      if (node == kNoNode) return;
      step.kind = StepKind::flush;
      step.node = node;
      step.text = "fsync " + shown(path.value_or(record.path));
      return push(std::move(step), live);
    }
    if (op == "write" || op == "truncate" || op == "chmod" || op == "content")
      return compileData(record, path.value_or(record.path), node, live);
    unmodelledStep(record, op);
  }

  void truncateOnOpen(const Record& record, const std::string& path, NodeId node, Disk& live) {
    if ((record.value & O_TRUNC) == 0) return;
    if (node == kNoNode) return unmodelledStep(record, "truncating open of an unknown file");
    Step step;
    step.kind = StepKind::truncate;
    step.node = node;
    step.coveredBy = {node};
    step.text = "open truncating " + shown(path);
    push(std::move(step), live);
  }

  void compileTwoNames(const Record& record, const std::optional<std::string>& from,
                       const std::optional<std::string>& to, NodeId node, Disk& live) {
    if (node == kNoNode || !to) {
      if (from && record.op == "rename" && node != kNoNode) {
        Step step;  // moved out of the root: gone from it
        step.kind = StepKind::remove;
        step.node = node;
        step.path = *from;
        step.coveredBy = {folderOf(live, *from)};
        step.text = "rename " + *from + " out of the root";
        return push(std::move(step), live);
      }
      return unmodelledStep(record, record.op + " from or to something unknown");
    }
    Step step;
    step.node = node;
    step.path2 = *to;
    step.coveredBy = {folderOf(live, *to)};
    if (record.op == "rename" && from) {
      step.kind = StepKind::move;
      step.path = *from;
      step.coveredBy.push_back(folderOf(live, *from));
    } else {
      step.kind = StepKind::name;
      step.path = *to;
    }
    step.text = record.op + " " + (from ? shown(*from) : record.path) + " -> " + shown(*to);
    push(std::move(step), live);
  }

  void compileData(const Record& record, const std::string& path, NodeId node, Disk& live) {
    if (node == kNoNode) return unmodelledStep(record, record.op + " to an unknown file");
    Step step;
    step.node = node;
    step.coveredBy = {node};
    step.offset = static_cast<std::uint64_t>(record.op == "truncate" ? record.value : record.offset);
    step.mode = record.mode & 07777;
    step.data = record.data;
    if (record.op == "write") {
      step.kind = StepKind::write;
      step.text = "write " + std::to_string(record.data.size()) + " bytes at " +
                  std::to_string(record.offset) + " to " + shown(path);
    } else if (record.op == "truncate") {
      step.kind = StepKind::truncate;
      step.text = "truncate " + shown(path) + " to " + std::to_string(record.value);
    } else if (record.op == "chmod") {
      step.kind = StepKind::chmod;
      std::ostringstream text;
      text << "chmod " << std::oct << step.mode << " " << shown(path);
      step.text = text.str();
    } else {
      step.kind = StepKind::content;
      step.text = "content of " + shown(path) + " (" + std::to_string(record.data.size()) + " bytes)";
    }
    push(std::move(step), live);
  }

  void push(Step step, Disk& live) {
    apply(step, live);
    steps.push_back(std::move(step));
  }

  // For every step, the first crash point at which all the flushes that
  // cover it have happened: one pass from the end, remembering the next
  // flush of every node.
  void computeDurability() {
    durableAt.assign(steps.size(), kNever);
    std::map<NodeId, std::size_t> nextFlush;
    std::size_t nextFlushAll = kNever;
    for (std::size_t i = steps.size(); i-- > 0;) {
      const Step& step = steps[i];
      if (mayBeLost(step.kind)) {
        std::size_t latest = 0;
        for (NodeId needed : step.coveredBy) {
          auto flush = nextFlush.find(needed);
          latest =
              std::max(latest, std::min(flush == nextFlush.end() ? kNever : flush->second, nextFlushAll));
        }
        durableAt[i] = latest;
      }
      if (step.kind == StepKind::flush) nextFlush[step.node] = i + 1;
      if (step.kind == StepKind::flushAll) nextFlushAll = i + 1;
    }
  }

  std::string label(std::size_t point, const std::vector<std::size_t>& lost) const {
    std::string text = point == 0 ? "crash before the first operation"
                                  : "crash after operation " + std::to_string(point) + " of " +
                                        std::to_string(steps.size()) + " (" + steps[point - 1].text + ")";
    if (lost.empty()) return text + "; nothing lost";
    text += "; lost";
    std::size_t listed = 0;
    for (std::size_t index : lost) {
      if (listed == 12) return text + ", ...";
      text += (listed++ == 0 ? " #" : ", #") + std::to_string(index + 1) + " " + steps[index].text;
    }
    return text;
  }
};

std::string summary(const std::string& what, const CrashStats& stats) {
  std::ostringstream line;
  line << "[ crashes  ] " << what << ": " << stats.operations << " operations (" << stats.flushes
       << " flushes) in " << stats.processes << " processes, " << stats.crashPoints << " crash points ("
       << stats.cappedPoints << " capped), " << stats.statesTried << " states tried, " << stats.distinctStates
       << " distinct states checked\n";
  return line.str();
}

CrashRecorder::CrashRecorder(const std::string& root, const std::string& log)
    : model_(std::make_unique<Model>()) {
  char* real = realpath(root.c_str(), nullptr);
  model_->root = real != nullptr ? real : root;
  free(real);
  model_->log = log;
  writeFile(log, "");
  struct stat info;
  if (lstat(model_->root.c_str(), &info) != 0) {
    ADD_FAILURE() << "no root folder " << model_->root;
    return;
  }
  model_->before.names[""] =
      model_->addNode(NodeKind::folder, {}, info.st_mode & 07777, info.st_dev, info.st_ino);
  model_->snapshot(model_->root, "");
}

CrashRecorder::~CrashRecorder() = default;

std::map<std::string, std::string> CrashRecorder::environment() const {
  std::map<std::string, std::string> env{{"LD_PRELOAD", SKARVEL_CRASH_SHIM},
                                         {"SKARVEL_CRASH_ROOT", model_->root},
                                         {"SKARVEL_CRASH_LOG", model_->log}};
#if defined(__SANITIZE_ADDRESS__)
  // The shim comes before the sanitizer's runtime in the load order, which
  // the runtime would otherwise refuse; it interposes nothing the shim needs.
  const char* options = getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(options != nullptr ? options : "") + ":verify_asan_link_order=0";
#endif
  return env;
}

bool CrashRecorder::readTrace(std::string& error) {
  std::vector<Record> records;
  if (!parseLog(readFile(model_->log), records, error)) return false;
  Disk live = model_->before;
  for (const Record& record : records) model_->compile(record, live);
  if (model_->processes == 0) {
    error = "no program started under the shim " SKARVEL_CRASH_SHIM;
    return false;
  }
  model_->computeDurability();
  return true;
}

std::string CrashRecorder::describeTrace() const {
  std::string text;
  for (std::size_t i = 0; i < model_->steps.size(); ++i)
    text += "#" + std::to_string(i + 1) + " " + model_->steps[i].text + "\n";
  return text;
}

CrashStats CrashRecorder::forEachState(const CrashCheck& check, const CrashLimits& limits) {
  const Model& model = *model_;
  CrashStats stats;
  stats.processes = model.processes;
  stats.operations = model.steps.size();
  stats.unmodelled = model.unmodelled;
  for (const Step& step : model.steps)
    stats.flushes += step.kind == StepKind::flush || step.kind == StepKind::flushAll;
  stats.crashPoints = model.steps.size() + 1;
  std::set<std::string> seen;
  for (std::size_t point = 0; point <= model.steps.size(); ++point) {
    std::vector<std::size_t> optional;
    for (std::size_t i = 0; i < point; ++i)
      if (mayBeLost(model.steps[i].kind) && model.durableAt[i] > point) optional.push_back(i);
    std::vector<std::vector<bool>> subsets = subsetsToTry(optional.size(), limits);
    stats.cappedPoints += subsets.size() < (optional.size() < 64 ? std::size_t{1} << optional.size() : kNever);
    for (const std::vector<bool>& keep : subsets) {
      ++stats.statesTried;
      Disk disk = model.before;
      std::vector<std::size_t> lost;
      std::size_t next = 0;
      for (std::size_t i = 0; i < point; ++i) {
        bool isOptional = next < optional.size() && optional[next] == i;
        bool kept = !isOptional || keep[next];
        if (isOptional) ++next;
        if (kept) {
          apply(model.steps[i], disk);
        } else {
          lost.push_back(i);
        }
      }
      if (!seen.insert(keyOf(disk)).second) continue;
      ++stats.distinctStates;
      materialise(disk, model.root);
      std::string label = model.label(point, lost);
      if (!check(label)) {
        stats.failure = label;
        return stats;
      }
    }
  }
  return stats;
}

}  // namespace skarvel::test
