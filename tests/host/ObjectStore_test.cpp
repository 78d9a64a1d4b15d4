// The reference host's persistent object store: records survive a reopen
// and another process, absent records read as absent, the design-point
// count follows the stored points, and a failed or abandoned write leaves
// the old records whole.
#include "rbo/host/ObjectStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rbo/host/ReferenceHost.h"
#include "support/Numbers.h"

namespace {

constexpr int kKey = 41;

struct Point {
  std::vector<double> g0, g1, g2;  ///< response groups 0, 1, 2
};

// Bit patterns, so that NaN payloads and the sign of zero are compared too.
std::vector<std::uint64_t> Bits(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits(values.size());
  if (!values.empty()) std::memcpy(bits.data(), values.data(), values.size() * sizeof(double));
  return bits;
}

void ExpectSamePoint(const std::optional<Point>& read, const Point& expected) {
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(Bits(read->g0), Bits(expected.g0));
  EXPECT_EQ(Bits(read->g1), Bits(expected.g1));
  EXPECT_EQ(Bits(read->g2), Bits(expected.g2));
}

template <class T>
std::vector<T> Plain(const std::vector<vbValue<T>>& wrapped) {
  return std::vector<T>(wrapped.begin(), wrapped.end());
}

POD* Store() {
  POD* pPod = GetPOD();
  EXPECT_NE(pPod, nullptr) << refhost::StoreError();
  return pPod;
}

std::optional<std::vector<int>> ReadMarks(int key) {
  CDResp record(Store());
  record.m_nKey = key;
  if (!record.GetObject()) return std::nullopt;
  return Plain(record.m_vPassFail);
}

std::optional<int> ReadCount(int key) {
  CResult record(Store());
  record.m_nKey = key;
  if (!record.GetObject()) return std::nullopt;
  return int(record.m_nDesignPoints);
}

std::optional<Point> ReadPoint(int key, int index) {
  CDPoint record(Store());
  record.m_nKey = key;
  record.m_nIndex = index;
  if (!record.GetObject()) return std::nullopt;
  return Point{Plain(record.m_vIndResps), Plain(record.m_vLinkResps), Plain(record.m_vSynthResps)};
}

void Put(int key, int index, const Point& p) { refhost::PutDesignPoint(key, index, p.g0, p.g1, p.g2); }

const Point kOld{{1.0, 2.0}, {3.0}, {4.0}};
const Point kNew{{-1.0, -2.0, -5.0}, {}, {-4.0}};

/// Throws from the hook at write statement n of a Put* call.
refhost::StoreWriteHook FailAt(int n, std::vector<int>* pSeen = nullptr) {
  return [n, pSeen](int nStatement) {
    if (pSeen != nullptr) pSeen->push_back(nStatement);
    if (nStatement == n) throw std::runtime_error("injected failure");
  };
}

class HostObjectStore : public ::testing::Test {
 protected:
  void SetUp() override { refhost::OpenStore(":memory:"); }
  void TearDown() override {
    refhost::SetStoreWriteHook({});
    refhost::OpenStore(":memory:");
    if (!m_path.empty()) {
      std::remove(m_path.c_str());
      std::remove((m_path + "-journal").c_str());
    }
  }

  /// A store file for this test, absent at first.  The name carries the
  /// test and the process that runs the suite (passed on to death-test
  /// children in the environment), so a child writes the file its parent
  /// reads and test runs of other builds keep to their own files.
  const std::string& FilePath() {
    static const std::string run = [] {
      const char* pszRun = std::getenv("RBO_OBJECTSTORE_TEST_RUN");
      if (pszRun != nullptr) return std::string(pszRun);
      const std::string tag = std::to_string(getpid());
      setenv("RBO_OBJECTSTORE_TEST_RUN", tag.c_str(), 0);
      return tag;
    }();
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
      if (c == '/') c = '_';
    m_path = ::testing::TempDir() + "rbo_objectstore_" + run + "_" + name + ".db";
    std::remove(m_path.c_str());
    std::remove((m_path + "-journal").c_str());
    return m_path;
  }

 private:
  std::string m_path;  ///< the test's store file, removed afterwards
};

// ---- records written by one connection are read by the next ----

TEST_F(HostObjectStore, RecordsComeBackBitForBitFromTheFile) {
  const std::vector<int> marks = {0, 1, 1, 0, -7, INT_MIN, INT_MAX};
  double nanWithPayload;
  const std::uint64_t nanBits = 0x7ff8000000012345ull;
  std::memcpy(&nanWithPayload, &nanBits, sizeof nanBits);
  const Point p0{{0.1, -0.0, 1e30, std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max()},
                 {},  // an empty group must stay an empty array, not vanish
                 {nanWithPayload, -std::numeric_limits<double>::infinity()}};
  const Point p1{{2.5}, {1.0 / 3.0, -1e-300}, {}};
  for (const bool bOpenAgain : {true, false}) {
    SCOPED_TRACE(bOpenAgain ? "OpenStore again" : "close, reopen on use");
    const std::string& path = FilePath();
    refhost::OpenStore(path);
    refhost::PutPassFailMarks(kKey, marks);
    Put(kKey, 0, p0);
    Put(kKey, 1, p1);
    refhost::PutPassFailMarks(-3, {1});  // another problem in the same store
    Put(-3, 0, p1);
    if (bOpenAgain)
      refhost::OpenStore(path);
    else
      refhost::CloseStore();  // GetPOD reopens the same file
    EXPECT_EQ(ReadMarks(kKey), marks);
    EXPECT_EQ(ReadCount(kKey), 2);
    ExpectSamePoint(ReadPoint(kKey, 0), p0);
    ExpectSamePoint(ReadPoint(kKey, 1), p1);
    EXPECT_EQ(ReadMarks(-3), std::vector<int>{1});
    EXPECT_EQ(ReadCount(-3), 1);
    ExpectSamePoint(ReadPoint(-3, 0), p1);
  }
}

TEST_F(HostObjectStore, AbsentRecordsReadFalseAndLeaveTheRecordAlone) {
  refhost::PutPassFailMarks(1, {1, 0});
  Put(1, 0, kOld);
  refhost::PutPassFailMarks(5, {1});  // definitions without results

  // Each record is filled before the read: an absent one must read false
  // and leave what the caller filled.
  {  // definitions of an unknown key
    CDResp record(Store());
    record.m_nKey = 2;
    record.m_vPassFail = {9};
    EXPECT_FALSE(record.GetObject());
    EXPECT_EQ(Plain(record.m_vPassFail), std::vector<int>{9});
  }
  for (const int key : {2, 5}) {  // an unknown key; a key with definitions but no points
    SCOPED_TRACE("results of key " + std::to_string(key));
    CResult record(Store());
    record.m_nKey = key;
    record.m_nDesignPoints = 9;
    EXPECT_FALSE(record.GetObject());
    EXPECT_EQ(int(record.m_nDesignPoints), 9);
  }
  // A point of an unknown key, beyond the stored ones, at a negative index.
  for (const auto& [key, index] : std::vector<std::pair<int, int>>{{2, 0}, {1, 1}, {1, -1}}) {
    SCOPED_TRACE("point " + std::to_string(index) + " of key " + std::to_string(key));
    CDPoint record(Store());
    record.m_nKey = key;
    record.m_nIndex = index;
    record.m_vIndResps = {9.0};
    EXPECT_FALSE(record.GetObject());
    EXPECT_EQ(Plain(record.m_vIndResps), std::vector<double>{9.0});
  }
  // The present records next to them do read.
  EXPECT_EQ(ReadMarks(1), (std::vector<int>{1, 0}));
  EXPECT_EQ(ReadCount(1), 1);
  // A store in memory starts empty when opened again.
  refhost::OpenStore(":memory:");
  EXPECT_FALSE(ReadMarks(1).has_value());
  EXPECT_FALSE(ReadCount(1).has_value());
  EXPECT_FALSE(ReadPoint(1, 0).has_value());
}

TEST_F(HostObjectStore, CountIsTheNumberOfDistinctPointsStoredUnderTheKey) {
  EXPECT_THROW(Put(kKey, -1, kOld), std::invalid_argument);  // negative index or count: nothing written
  EXPECT_THROW(refhost::PutResultCount(kKey, -2), std::invalid_argument);
  EXPECT_FALSE(ReadCount(kKey).has_value());
  struct Step {
    int key, index;  ///< PutDesignPoint(key, index), or PutResultCount(key, -index) when index < 0
    int expected;    ///< count under kKey afterwards
  };
  const Step steps[] = {
      {kKey, 0, 1},     {kKey, 1, 2}, {kKey, 1, 2},  // the same index again replaces the point
      {kKey, 4, 3},                                  // indices need not be contiguous
      {kKey + 1, 0, 3},                              // another key does not count
      {kKey, -1, 1},                                 // an explicit count overrides ...
      {kKey, 2, 4},                                  // ... until the next point recounts
  };
  for (const Step& s : steps) {
    if (s.index >= 0)
      Put(s.key, s.index, kOld);
    else
      refhost::PutResultCount(s.key, -s.index);
    EXPECT_EQ(ReadCount(kKey), s.expected) << "after key " << s.key << " index " << s.index;
  }
  EXPECT_EQ(ReadCount(kKey + 1), 1);
}

// ---- all-or-nothing writes ----

TEST_F(HostObjectStore, FailureBetweenTheStatementsOfAWriteKeepsTheOldRecords) {
  Put(kKey, 0, kOld);
  std::vector<int> seen;
  refhost::SetStoreWriteHook(FailAt(1, &seen));
  EXPECT_THROW(Put(kKey, 0, kNew), std::runtime_error);
  EXPECT_EQ(seen, (std::vector<int>{0, 1})) << "the point was written before the failure";
  EXPECT_THROW(Put(kKey, 1, kNew), std::runtime_error);

  refhost::SetStoreWriteHook({});
  ExpectSamePoint(ReadPoint(kKey, 0), kOld);
  EXPECT_FALSE(ReadPoint(kKey, 1).has_value());
  EXPECT_EQ(ReadCount(kKey), 1);
  Put(kKey, 1, kNew);  // the store still takes writes
  EXPECT_EQ(ReadCount(kKey), 2);
}

TEST_F(HostObjectStore, CrashBetweenTheStatementsOfAWriteKeepsTheOldRecords) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string& path = FilePath();
  EXPECT_EXIT(
      {
        refhost::OpenStore(path);
        refhost::PutPassFailMarks(kKey, {0, 1});
        Put(kKey, 0, kOld);  // no clean-up of the writer: the data must already be on disk
        refhost::SetStoreWriteHook([](int nStatement) {
          if (nStatement == 1) std::abort();
        });
        Put(kKey, 0, kNew);
        Put(kKey, 1, kNew);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGABRT), "");
  refhost::OpenStore(path);  // the file another process wrote
  EXPECT_EQ(ReadMarks(kKey), (std::vector<int>{0, 1}));
  ExpectSamePoint(ReadPoint(kKey, 0), kOld);
  EXPECT_FALSE(ReadPoint(kKey, 1).has_value());
  EXPECT_EQ(ReadCount(kKey), 1);
}

// A failed write under the lock undoes only itself.
TEST_F(HostObjectStore, WritesUnderALockAreKeptOnlyByUnLock) {
  refhost::PutPassFailMarks(kKey, {0});
  Put(kKey, 0, kOld);
  for (const bool bUnLock : {false, true}) {
    SCOPED_TRACE(bUnLock ? "unlocked" : "destroyed while locked");
    try {
      CLock lock(Store(), 0);
      refhost::PutPassFailMarks(kKey, {1, 1});
      Put(kKey, 0, kNew);
      Put(kKey, 3, kNew);
      ExpectSamePoint(ReadPoint(kKey, 0), kNew);  // visible inside the lock
      refhost::SetStoreWriteHook(FailAt(1));
      EXPECT_THROW(Put(kKey, 0, kOld), std::runtime_error);
      refhost::SetStoreWriteHook({});
      if (bUnLock) lock.UnLock();
      throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(ReadMarks(kKey), (bUnLock ? std::vector<int>{1, 1} : std::vector<int>{0}));
    ExpectSamePoint(ReadPoint(kKey, 0), bUnLock ? kNew : kOld);
    EXPECT_EQ(ReadPoint(kKey, 3).has_value(), bUnLock);
    EXPECT_EQ(ReadCount(kKey), bUnLock ? 2 : 1);
  }
}

TEST_F(HostObjectStore, LockShutsOutOtherThreadsUntilUnLock) {
  refhost::PutResultCount(kKey, 1);
  std::atomic<bool> bWritten{false};
  std::thread writer;
  {
    CLock lock(Store(), 0);
    writer = std::thread([&] {
      refhost::PutResultCount(kKey, 2);
      bWritten = true;
    });
    // Give the writer every chance to slip in; it must wait for UnLock.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(bWritten.load());
    EXPECT_EQ(ReadCount(kKey), 1);
    refhost::PutResultCount(kKey, 5);
    lock.UnLock();
  }
  writer.join();
  EXPECT_TRUE(bWritten.load());
  EXPECT_EQ(ReadCount(kKey), 2) << "the writer's count comes after the locked one";
}

TEST_F(HostObjectStore, LockMisuseIsRejectedAndTheLockStaysUsable) {
  EXPECT_THROW(CLock(nullptr, 0), std::invalid_argument);
  EXPECT_THROW(CLock(Store(), 1), std::invalid_argument);
  {
    CLock outer(Store(), 0);
    refhost::PutResultCount(kKey, 3);
    EXPECT_THROW(refhost::OpenStore(":memory:"), std::logic_error);
    EXPECT_THROW(refhost::CloseStore(), std::logic_error);
    CLock inner(Store(), 0);
    EXPECT_THROW(outer.UnLock(), std::logic_error);
    inner.UnLock();
    outer.UnLock();
    outer.UnLock();  // a second UnLock does nothing
  }
  EXPECT_EQ(ReadCount(kKey), 3);
}

// ---- stores that cannot be opened ----

TEST_F(HostObjectStore, UnopenableStoreGivesTheReasonAndNoStore) {
  const std::string& notADatabase = FilePath();
  std::ofstream(notADatabase) << "These are not the pages of a database, only a long line of text to fill them.\n";
  struct Case {
    std::string path, sqliteMessage;
  };
  for (const Case& c :
       {Case{::testing::TempDir() + "rbo_no_such_directory/sub/store.db", "unable to open database file"},
        Case{notADatabase, "file is not a database"}}) {
    SCOPED_TRACE(c.path);
    const std::string what = testsupport::WhatOf<std::runtime_error>([&] { refhost::OpenStore(c.path); });
    EXPECT_NE(what.find("'" + c.path + "'"), std::string::npos) << what;
    EXPECT_NE(what.find(c.sqliteMessage), std::string::npos) << what;
    EXPECT_EQ(GetPOD(), nullptr);
    EXPECT_EQ(refhost::StoreError(), what);
    EXPECT_THROW(refhost::PutResultCount(kKey, 1), std::runtime_error);

    refhost::OpenStore(":memory:");
    EXPECT_NE(GetPOD(), nullptr);
    EXPECT_EQ(refhost::StoreError(), "");
  }
}

}  // namespace
