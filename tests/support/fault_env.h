// FaultEnv: the table engine's file system for tests. It passes everything to the real
// file system, except that writes fail on request as a full or broken disk would, and it
// counts the lock attempts refused because another open holds the byte, so that a test
// can tell when the engine is waiting for a lock. It counts the file calls by kind, and a
// test can act, as another program would, at a chosen moment: right after the engine
// looked at a file's size.
//
// Creating one installs it for the tables opened afterwards (dbe::DbeSetEnv); destroying
// it puts the previous one back. REQUIRES: every table opened meanwhile is closed first.
#ifndef TALLYVOX_TESTS_SUPPORT_FAULT_ENV_H_
#define TALLYVOX_TESTS_SUPPORT_FAULT_ENV_H_

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "dbe/dbe_engine.h"
#include "dbe/env.h"

namespace tallyvox::testing {

class FaultEnv : public dbe::Env {
 public:
  FaultEnv() : previous_(dbe::DbeSetEnv(this)) {}
  ~FaultEnv() override { dbe::DbeSetEnv(previous_); }
  FaultEnv(const FaultEnv&) = delete;
  FaultEnv& operator=(const FaultEnv&) = delete;

  // After `skip` successful writes, the next `count` writes to any file fail with
  // `error_number` (an errno value) before touching it. count 0 turns the fault off.
  // Each record write, each append (record and end marker) and each header update (date,
  // or date and count together when appending) is one write.
  void FailWrites(int error_number, int count, int skip = 0) {
    std::lock_guard<std::mutex> g(mutex_);
    fault_errno_ = error_number;
    fault_count_ = count;
    fault_skip_ = skip;
  }

  // How often a lock on the byte at `offset` was refused (EAGAIN) so far.
  int RefusedLocks(uint64_t offset) {
    std::lock_guard<std::mutex> g(mutex_);
    return refused_[offset];
  }

  // File calls made through this Env since it was made or since ResetCalls().
  struct Calls {
    int reads = 0;
    int writes = 0;
    int stats = 0;
    int locks = 0;  // LockByte and UnlockByte
  };
  Calls CallsSoFar() {
    std::lock_guard<std::mutex> g(mutex_);
    return calls_;
  }
  void ResetCalls() {
    std::lock_guard<std::mutex> g(mutex_);
    calls_ = Calls();
  }

  // Runs `action` once, right after the next Stat of any file (on the engine's thread,
  // with the engine's lock held: the action must not call the engine).
  void AfterNextStat(std::function<void()> action) {
    std::lock_guard<std::mutex> g(mutex_);
    after_stat_ = std::move(action);
  }

  StatusOr<std::unique_ptr<dbe::DbeFile>> OpenFile(const std::string& path,
                                                   bool writable) override {
    StatusOr<std::unique_ptr<dbe::DbeFile>> real = dbe::Env::Default()->OpenFile(path, writable);
    if (!real.ok()) return real.status();
    return std::unique_ptr<dbe::DbeFile>(std::make_unique<File>(this, std::move(*real)));
  }
  bool IsDirectory(const std::string& path) override {
    return dbe::Env::Default()->IsDirectory(path);
  }

 private:
  class File : public dbe::DbeFile {
   public:
    File(FaultEnv* env, std::unique_ptr<dbe::DbeFile> real) : env_(env), real_(std::move(real)) {}
    Status ReadAt(uint64_t offset, uint8_t* dest, size_t size) override {
      env_->Count(&Calls::reads);
      return real_->ReadAt(offset, dest, size);
    }
    Status WriteAt(uint64_t offset, const uint8_t* src, size_t size) override {
      env_->Count(&Calls::writes);
      if (int err = env_->TakeWriteFault()) return Status::Error(err, "injected write fault");
      return real_->WriteAt(offset, src, size);
    }
    StatusOr<dbe::DbeFileInfo> Stat() override {
      env_->Count(&Calls::stats);
      StatusOr<dbe::DbeFileInfo> info = real_->Stat();
      env_->RunAfterStat();
      return info;
    }
    Status Truncate(uint64_t size) override { return real_->Truncate(size); }
    Status LockByte(uint64_t offset) override {
      env_->Count(&Calls::locks);
      Status status = real_->LockByte(offset);
      if (status.code() == EAGAIN) env_->CountRefusal(offset);
      return status;
    }
    Status UnlockByte(uint64_t offset) override {
      env_->Count(&Calls::locks);
      return real_->UnlockByte(offset);
    }

   private:
    FaultEnv* env_;
    std::unique_ptr<dbe::DbeFile> real_;
  };

  int TakeWriteFault() {
    std::lock_guard<std::mutex> g(mutex_);
    if (fault_skip_ > 0) {
      --fault_skip_;
      return 0;
    }
    if (fault_count_ == 0) return 0;
    --fault_count_;
    return fault_errno_;
  }
  void RunAfterStat() {
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> g(mutex_);
      action.swap(after_stat_);
    }
    if (action) action();
  }
  void Count(int Calls::*kind) {
    std::lock_guard<std::mutex> g(mutex_);
    ++(calls_.*kind);
  }
  void CountRefusal(uint64_t offset) {
    std::lock_guard<std::mutex> g(mutex_);
    ++refused_[offset];
  }

  dbe::Env* previous_;
  std::mutex mutex_;
  int fault_errno_ = 0;
  int fault_count_ = 0;
  int fault_skip_ = 0;
  std::map<uint64_t, int> refused_;
  std::function<void()> after_stat_;
  Calls calls_;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_FAULT_ENV_H_
