#include "storage/snapshot/snapshot_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "snapshot_bytes.h"
#include "snapshot_test_support.h"
#include "storage/segment/segment.h"
#include "storage/snapshot/background_reader.h"
#include "storage/snapshot/background_writer.h"
#include "storage/snapshot/snapshot_codec.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;
using Bytes = FileBytes;
using testing_support::same_index;
using testing_support::same_points;

const Bytes kEmptyStore = {0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00};

class SnapshotFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavrik-snapshot-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static Bytes contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  static void put(const std::string& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

  fs::path dir_;
};

std::string os_detail(int error) {
  return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

void fill(Segment& segment, std::uint64_t first, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    Point point;
    point.vector = {static_cast<float>(i), 1.0f, -0.5f};
    point.payload.emplace();
    point.payload->emplace("tenant_id", Keyword{"t" + std::to_string(i % 3)});
    segment.upsert(first + i, std::move(point));
  }
}

Bytes state_of(const Segment& segment) {
  return segment.read([](const PointTable& points, const HNSWIndex& index) {
    return encode_snapshot(points, index);
  });
}

::testing::AssertionResult same_state(const Segment& a, const Segment& b) {
  return a.read([&b](const PointTable& a_points, const HNSWIndex& a_index) {
    return b.read([&](const PointTable& b_points, const HNSWIndex& b_index) {
      auto points = same_points(a_points, b_points);
      return points ? same_index(a_index, b_index) : points;
    });
  });
}

TEST_F(SnapshotFileTest, SaveIntoMissingDirectoryCreatesNothing) {
  Segment segment;
  const SnapshotStatus status = segment.save_to_disk(path("missing/store.snap"));
  EXPECT_EQ(status.message(), std::string(kCreateFailed) + os_detail(ENOENT));
  EXPECT_EQ(status.message(),
            "Failed to create snapshot file: No such file or directory (os error 2)");
  EXPECT_TRUE(entries().empty());
}

TEST_F(SnapshotFileTest, DirectoryAsPath) {
  Segment segment;
  fill(segment, 1, 3);
  const Bytes before = state_of(segment);
  EXPECT_EQ(segment.save_to_disk(dir_.string()).message(),
            "Failed to create snapshot file: Is a directory (os error 21)");
  EXPECT_EQ(segment.load_from_disk(dir_.string()).message(),
            "Failed to read snapshot file bytes: Is a directory (os error 21)");
  EXPECT_EQ(state_of(segment), before);
  EXPECT_TRUE(entries().empty());
}

TEST_F(SnapshotFileTest, NulByteInPath) {
  Segment segment;
  const std::string with_nul = path("a") + std::string(1, '\0') + "b";
  EXPECT_EQ(segment.save_to_disk(with_nul).message(),
            "Failed to create snapshot file: file name contained an unexpected NUL byte");
  EXPECT_EQ(segment.load_from_disk(with_nul).message(),
            "Failed to open snapshot file: file name contained an unexpected NUL byte");
  EXPECT_TRUE(entries().empty());
}

struct FailedLoad {
  const char* name;
  Bytes file;  // empty with `create` false: no file at all
  bool create;
  const char* message;
};

class FailedLoadTest : public SnapshotFileTest,
                       public ::testing::WithParamInterface<FailedLoad> {};

TEST_P(FailedLoadTest, LeavesTheSegmentUnchanged) {
  const FailedLoad& c = GetParam();
  if (c.create) put(path("bad.snap"), c.file);
  Segment segment;
  fill(segment, 10, 5);
  const Bytes before = state_of(segment);
  const SnapshotStatus status = segment.load_from_disk(path("bad.snap"));
  EXPECT_EQ(status.message(), c.message);
  EXPECT_EQ(state_of(segment), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedLoadTest,
    ::testing::Values(
        FailedLoad{"Missing", {}, false,
                   "Failed to open snapshot file: No such file or directory (os error 2)"},
        FailedLoad{"EmptyFile", {}, true,
                   "Postcard binary deserialization pipeline failure (possible corruption): "
                   "Hit the end of buffer, expected more data"},
        FailedLoad{"CutShort", {0x01, 0x07, 0x07, 0x02}, true,
                   "Postcard binary deserialization pipeline failure (possible corruption): "
                   "Hit the end of buffer, expected more data"},
        FailedLoad{"BadEntryMarker", {0x00, 0x10, 0x40, 0x20, 0x02, 0x00, 0x00}, true,
                   "Postcard binary deserialization pipeline failure (possible corruption): "
                   "Found an Option discriminant that wasn't 0 or 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SnapshotFileTest, EmptyStoreIsSevenBytesAndLoadingItResets) {
  Segment empty;
  ASSERT_TRUE(empty.save_to_disk(path("empty.snap")).is_ok());
  EXPECT_EQ(contents(path("empty.snap")), kEmptyStore);

  Segment populated;
  fill(populated, 1, 4);
  ASSERT_TRUE(populated.load_from_disk(path("empty.snap")).is_ok());
  EXPECT_EQ(state_of(populated), kEmptyStore);
}

TEST_F(SnapshotFileTest, RoundTripThroughTheFile) {
  // Long vectors, so that the file is written and read on threads of
  // their own.
  Segment original;
  for (std::uint64_t id = 100; id < 800; ++id) {
    Point point;
    point.vector = std::vector<float>(7'000, static_cast<float>(id) / 7.0f);
    point.vector[id % 7'000] = -1.0f;
    point.payload.emplace();
    point.payload->emplace("tenant_id", Keyword{"t" + std::to_string(id % 3)});
    original.upsert(id, std::move(point));
  }
  const std::size_t length = state_of(original).size();
  ASSERT_GE(length, BackgroundReader::kThreadFromBytes);
  ASSERT_GE(length, BackgroundWriter::kThreadFromBytes);
  ASSERT_TRUE(original.save_to_disk(path("store.snap")).is_ok());
  Segment copy;
  fill(copy, 5000, 3);  // replaced, not merged
  ASSERT_TRUE(copy.load_from_disk(path("store.snap")).is_ok());
  EXPECT_TRUE(same_state(original, copy));

  // Saved again, the file has the same length.
  ASSERT_TRUE(copy.save_to_disk(path("again.snap")).is_ok());
  EXPECT_EQ(fs::file_size(path("again.snap")), fs::file_size(path("store.snap")));
  EXPECT_EQ(entries(), (std::set<std::string>{"store.snap", "again.snap"}));
}

TEST_F(SnapshotFileTest, TrailingBytesInTheFileAreIgnored) {
  Segment original;
  fill(original, 1, 6);
  Bytes bytes = state_of(original);
  bytes.insert(bytes.end(), {0xde, 0xad, 0xbe, 0xef});
  put(path("padded.snap"), bytes);
  Segment copy;
  ASSERT_TRUE(copy.load_from_disk(path("padded.snap")).is_ok());
  EXPECT_TRUE(same_state(original, copy));
}

TEST_F(SnapshotFileTest, SaveOverLongerFileLeavesExactlyTheSnapshot) {
  put(path("store.snap"), Bytes(10000, 0xab));
  Segment segment;
  ASSERT_TRUE(segment.save_to_disk(path("store.snap")).is_ok());
  EXPECT_EQ(contents(path("store.snap")), kEmptyStore);
  EXPECT_EQ(entries(), std::set<std::string>{"store.snap"});
}

TEST_F(SnapshotFileTest, SaveToCharacterDeviceWritesInPlace) {
  Segment segment;
  fill(segment, 1, 3);
  EXPECT_TRUE(segment.save_to_disk("/dev/null").is_ok());
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_EQ(segment.save_to_disk("/dev/full").message(),
            std::string(kWriteFailed) + os_detail(ENOSPC));
  // Several pieces: the first failure is reported, the rest dropped.
  for (std::uint64_t id = 10; id < 13; ++id) {
    Point point;
    point.vector = std::vector<float>(kSnapshotPieceBytes / 3, 1.0f);
    segment.upsert(id, std::move(point));
  }
  EXPECT_TRUE(segment.save_to_disk("/dev/null").is_ok());
  EXPECT_EQ(segment.save_to_disk("/dev/full").message(),
            std::string(kWriteFailed) + os_detail(ENOSPC));
}

TEST_F(SnapshotFileTest, PipeCarriesASnapshotWithoutSizeHint) {
  // A FIFO is written in place and read without knowing its size up front.
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  Segment original;
  fill(original, 1, 600);  // well over the reader's first buffer
  SnapshotStatus saved = SnapshotStatus::failure(SnapshotStage::Write, "not run");
  std::thread writer([&] { saved = original.save_to_disk(path("pipe")); });
  Segment copy;
  const SnapshotStatus loaded = copy.load_from_disk(path("pipe"));
  writer.join();
  ASSERT_TRUE(saved.is_ok()) << saved.message();
  ASSERT_TRUE(loaded.is_ok()) << loaded.message();
  EXPECT_TRUE(same_state(original, copy));
  EXPECT_TRUE(fs::is_fifo(path("pipe")));
}

TEST_F(SnapshotFileTest, SaveThroughSymlinksReplacesTheFileAndKeepsTheLinks) {
  fs::create_directory(dir_ / "real");
  put(path("real/store.snap"), Bytes(100, 0x01));
  fs::create_symlink("real/store.snap", dir_ / "relative.lnk");
  fs::create_symlink(dir_ / "relative.lnk", dir_ / "chain.lnk");
  fs::create_symlink("real/fresh.snap", dir_ / "dangling.lnk");

  Segment segment;
  ASSERT_TRUE(segment.save_to_disk(path("chain.lnk")).is_ok());
  ASSERT_TRUE(segment.save_to_disk(path("dangling.lnk")).is_ok());
  EXPECT_TRUE(fs::is_symlink(dir_ / "chain.lnk"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "relative.lnk"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.lnk"));
  EXPECT_EQ(contents(path("real/store.snap")), kEmptyStore);
  EXPECT_EQ(contents(path("real/fresh.snap")), kEmptyStore);
  std::set<std::string> real;
  for (const auto& entry : fs::directory_iterator(dir_ / "real")) {
    real.insert(entry.path().filename().string());
  }
  EXPECT_EQ(real, (std::set<std::string>{"store.snap", "fresh.snap"}));
}

TEST_F(SnapshotFileTest, NewFileModeHonoursTheUmaskAndExistingModeIsKept) {
  const mode_t previous = ::umask(027);
  Segment segment;
  const SnapshotStatus created = segment.save_to_disk(path("new.snap"));
  put(path("private.snap"), {0x00});
  fs::permissions(path("private.snap"), fs::perms::owner_read | fs::perms::owner_write);
  const SnapshotStatus replaced = segment.save_to_disk(path("private.snap"));
  ::umask(previous);
  ASSERT_TRUE(created.is_ok());
  ASSERT_TRUE(replaced.is_ok());
  struct stat status {};
  ASSERT_EQ(::stat(path("new.snap").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat(path("private.snap").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(SnapshotFileTest, ReadOnlyDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fs::create_directory(dir_ / "locked");
  put(path("locked/store.snap"), Bytes(50, 0x07));
  fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  Segment segment;
  // A new file cannot be created...
  EXPECT_EQ(segment.save_to_disk(path("locked/new.snap")).message(),
            std::string(kCreateFailed) + os_detail(EACCES));
  // ...but an existing writable file is still written, in place.
  EXPECT_TRUE(segment.save_to_disk(path("locked/store.snap")).is_ok());
  EXPECT_EQ(contents(path("locked/store.snap")), kEmptyStore);
  fs::permissions(dir_ / "locked", fs::perms::owner_all);
}

// Two large snapshots that differ, written alternately by a child process
// that is killed at a random moment. The target must always decode to one of
// the two complete snapshots; only the killed child's temporary file may be
// left over.
TEST_F(SnapshotFileTest, KilledSaveNeverDamagesTheTarget) {
  constexpr std::size_t kPoints = 100'000;
  constexpr std::size_t kDims = 64;
  PointTable points;
  points.reserve(kPoints);
  for (std::size_t i = 0; i < kPoints; ++i) {
    Point point;
    point.vector = std::vector<float>(kDims, static_cast<float>(i));
    points.put(i, std::move(point));
  }
  HNSWIndex index_a;
  HNSWIndex index_b;
  index_b.ef_search = 99;
  const Bytes snapshot_a = encode_snapshot(points, index_a);
  const Bytes snapshot_b = encode_snapshot(points, index_b);
  const std::string target = path("big.snap");
  ASSERT_TRUE(write_snapshot_file(target, points, index_a).is_ok());

  std::mt19937 rng(12345);
  int interrupted = 0;
  for (int round = 0; round < 6; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) {
        const HNSWIndex& index = i % 2 == 0 ? index_b : index_a;
        if (!write_snapshot_file(target, points, index).is_ok()) _exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 400));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int wait_status = 0;
    ASSERT_EQ(::waitpid(child, &wait_status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wait_status)) << "the child stopped on its own";

    const Bytes on_disk = contents(target);
    ASSERT_TRUE(on_disk == snapshot_a || on_disk == snapshot_b) << "round " << round;
    Segment segment;
    ASSERT_TRUE(segment.load_from_disk(target).is_ok());

    const std::string leftover_prefix = ".big.snap.tmp-" + std::to_string(child) + "-";
    for (const std::string& name : entries()) {
      if (name == "big.snap") continue;
      ASSERT_TRUE(name.starts_with(leftover_prefix)) << name;
      ++interrupted;
      fs::remove(dir_ / name);
    }
  }
  EXPECT_EQ(entries(), std::set<std::string>{"big.snap"});
  std::cout << "[          ] kills that caught a save mid-write: " << interrupted << "/6\n";
}

}  // namespace
}  // namespace tavrik
