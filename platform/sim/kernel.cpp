// Simulated kernel basics: handle table, faults, reset, clock, last error,
// thread ids, named mutexes, COM GUIDs and the debugger channel.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/sim/core.h"
#include "platform/sim/ctl/kernel.h"
#include "platform/sim/kernel.h"

namespace simwin {
namespace core {
namespace {

std::mutex& TableLock() {
  static std::mutex m;
  return m;
}
std::unordered_map<uintptr_t, std::shared_ptr<Object>>& Table() {
  static std::unordered_map<uintptr_t, std::shared_ptr<Object>> t;
  return t;
}
uintptr_t& NextHandle() {
  static uintptr_t n = 0x1000;
  return n;
}

struct Fault {
  DWORD error;
  int times;  // -1: always
  int skip;
};
std::mutex& FaultLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, Fault>& Faults() {
  static std::map<std::string, Fault> f;
  return f;
}

std::vector<std::function<void()>>& ResetHooks() {
  static std::vector<std::function<void()>> h;
  return h;
}

std::mutex& ClockLock() {
  static std::mutex m;
  return m;
}

// Days since 1601-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t unixDays = era * 146097 + static_cast<int64_t>(doe) - 719468;
  return unixDays + 134774;  // 1601-01-01 is 134774 days before 1970-01-01
}

void CivilFromDays(int64_t days1601, int* y, unsigned* m, unsigned* d) {
  int64_t z = days1601 - 134774 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int>(yy + (*m <= 2));
}

uint64_t DefaultNow() {  // 2026-03-15 12:00:00
  return static_cast<uint64_t>(DaysFromCivil(2026, 3, 15)) * 86400000ull + 12ull * 3600000ull;
}
uint64_t& Clock() {
  static uint64_t now = DefaultNow();
  return now;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<Object> obj) {
  std::lock_guard<std::mutex> g(TableLock());
  uintptr_t h = NextHandle();
  NextHandle() += 4;
  Table()[h] = std::move(obj);
  return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<Object> FindHandle(HANDLE h) {
  std::lock_guard<std::mutex> g(TableLock());
  auto it = Table().find(reinterpret_cast<uintptr_t>(h));
  return it == Table().end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE h) {
  std::shared_ptr<Object> keep;  // destroyed outside the lock
  std::lock_guard<std::mutex> g(TableLock());
  auto it = Table().find(reinterpret_cast<uintptr_t>(h));
  if (it == Table().end()) return false;
  keep = std::move(it->second);
  Table().erase(it);
  return true;
}

bool TakeFault(const char* api, DWORD* error) {
  std::lock_guard<std::mutex> g(FaultLock());
  auto it = Faults().find(api);
  if (it == Faults().end()) return false;
  Fault& f = it->second;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  *error = f.error;
  if (f.times > 0 && --f.times == 0) Faults().erase(it);
  return true;
}

void OnReset(std::function<void()> fn) { ResetHooks().push_back(std::move(fn)); }

uint64_t NowMs() {
  std::lock_guard<std::mutex> g(ClockLock());
  return Clock();
}

void AdvanceMs(uint64_t ms) {
  std::lock_guard<std::mutex> g(ClockLock());
  Clock() += ms;
}

}  // namespace core

namespace {

thread_local DWORD t_lastError = 0;

std::mutex& ThreadIdLock() {
  static std::mutex m;
  return m;
}

std::mutex& DebugLock() {
  static std::mutex m;
  return m;
}
std::vector<std::string>& DebugLines() {
  static std::vector<std::string> v;
  return v;
}

uint64_t& GuidState() {
  static uint64_t s = 0x9E3779B97F4A7C15ull;
  return s;
}
uint64_t NextRandom() {  // splitmix64
  uint64_t z = (GuidState() += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A Win32 mutex: recursive, owned by a thread. An owner that ends without
// releasing abandons it: the next wait that gets it returns WAIT_ABANDONED
// and owns it, as on Windows.
struct Mutex : core::Object, std::enable_shared_from_this<Mutex> {
  std::mutex m;
  std::condition_variable cv;
  std::thread::id owner;
  int count = 0;
  bool abandoned = false;
  const char* Kind() const override { return "mutex"; }
  DWORD Wait(DWORD ms) override;
  bool Release() {
    std::lock_guard<std::mutex> l(m);
    if (count == 0 || owner != std::this_thread::get_id()) return false;
    if (--count == 0) cv.notify_one();
    return true;
  }
  // The owner's thread ends: whatever it still holds is abandoned.
  void Abandon(std::thread::id dying) {
    std::lock_guard<std::mutex> l(m);
    if (count == 0 || owner != dying) return;
    count = 0;
    abandoned = true;
    cv.notify_one();
  }
};

// The mutexes a thread has owned, abandoned when the thread ends.
struct OwnedMutexes {
  std::vector<std::weak_ptr<Mutex>> list;
  ~OwnedMutexes() {
    for (auto& w : list)
      if (auto mtx = w.lock()) mtx->Abandon(std::this_thread::get_id());
  }
};
thread_local OwnedMutexes t_owned;

DWORD Mutex::Wait(DWORD ms) {
  std::unique_lock<std::mutex> l(m);
  auto self = std::this_thread::get_id();
  if (count > 0 && owner == self) {
    ++count;
    return WAIT_OBJECT_0;
  }
  auto free = [&] { return count == 0; };
  if (ms == INFINITE) {
    cv.wait(l, free);
  } else if (!cv.wait_for(l, std::chrono::milliseconds(ms), free)) {
    return WAIT_TIMEOUT;
  }
  owner = self;
  count = 1;
  bool wasAbandoned = abandoned;
  abandoned = false;
  l.unlock();
  auto& owned = t_owned.list;
  owned.erase(std::remove_if(owned.begin(), owned.end(),
                             [](const std::weak_ptr<Mutex>& w) { return w.expired(); }),
              owned.end());
  bool known = false;
  for (auto& w : owned) known = known || w.lock().get() == this;
  if (!known) owned.push_back(weak_from_this());
  return wasAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// Named objects share one object behind several handles.
std::mutex& NamesLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::weak_ptr<Mutex>>& MutexNames() {
  static std::map<std::string, std::weak_ptr<Mutex>> n;
  return n;
}

struct ThreadIds {
  std::map<std::thread::id, DWORD> ids;
  DWORD next = 1000;
};
ThreadIds& Ids() {
  static ThreadIds t;
  return t;
}

struct KernelReset {
  KernelReset() {
    core::OnReset([] {
      {
        std::lock_guard<std::mutex> g(core::FaultLock());
        core::Faults().clear();
      }
      {
        std::lock_guard<std::mutex> g(core::ClockLock());
        core::Clock() = core::DefaultNow();
      }
      ClearDebugOutput();
      GuidState() = 0x9E3779B97F4A7C15ull;
      {
        std::lock_guard<std::mutex> g(NamesLock());
        MutexNames().clear();
      }
      {
        std::lock_guard<std::mutex> g(core::TableLock());
        core::Table().clear();
      }
      t_lastError = 0;
    });
  }
};
KernelReset g_kernelReset;

}  // namespace

void Reset() {
  for (auto& fn : core::ResetHooks()) fn();
}

void FailCall(const std::string& api, DWORD error, int times, int skip) {
  std::lock_guard<std::mutex> g(core::FaultLock());
  core::Faults()[api] = core::Fault{error, times < 1 ? 1 : times, skip};
}

void FailAlways(const std::string& api, DWORD error) {
  std::lock_guard<std::mutex> g(core::FaultLock());
  core::Faults()[api] = core::Fault{error, -1, 0};
}

void ClearFaults() {
  std::lock_guard<std::mutex> g(core::FaultLock());
  core::Faults().clear();
}

void SetLocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::lock_guard<std::mutex> g(core::ClockLock());
  core::Clock() = static_cast<uint64_t>(core::DaysFromCivil(year, month, day)) * 86400000ull +
                  ((hour * 60ull + minute) * 60ull + second) * 1000ull;
}

SYSTEMTIME LocalTime() {
  uint64_t now = core::NowMs();
  int64_t days = static_cast<int64_t>(now / 86400000ull);
  uint64_t msOfDay = now % 86400000ull;
  int y;
  unsigned m, d;
  core::CivilFromDays(days, &y, &m, &d);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st.wHour = static_cast<WORD>(msOfDay / 3600000ull);
  st.wMinute = static_cast<WORD>(msOfDay / 60000ull % 60);
  st.wSecond = static_cast<WORD>(msOfDay / 1000ull % 60);
  st.wMilliseconds = static_cast<WORD>(msOfDay % 1000);
  return st;
}

void SeedGuids(uint64_t seed) { GuidState() = seed; }

std::vector<std::string> DebugOutput() {
  std::lock_guard<std::mutex> g(DebugLock());
  return DebugLines();
}

void ClearDebugOutput() {
  std::lock_guard<std::mutex> g(DebugLock());
  DebugLines().clear();
}

size_t OpenHandleCount(const char* kind) {
  std::lock_guard<std::mutex> g(core::TableLock());
  if (!kind) return core::Table().size();
  return static_cast<size_t>(
      std::count_if(core::Table().begin(), core::Table().end(),
                    [&](const auto& e) { return std::string(e.second->Kind()) == kind; }));
}

}  // namespace simwin

using namespace simwin;

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

BOOL CloseHandle(HANDLE h) {
  DWORD err;
  if (core::TakeFault("CloseHandle", &err)) {
    SetLastError(err);
    return FALSE;
  }
  if (!core::RemoveHandle(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

void GetLocalTime(LPSYSTEMTIME st) {
  if (st) *st = LocalTime();
}

namespace {
// Static initialisation runs on the process's main thread.
const std::thread::id g_mainThread = std::this_thread::get_id();
}  // namespace

void Sleep(DWORD ms) {
  core::AdvanceMs(ms);
  // Other threads also give up a real millisecond, so a polling loop (an
  // animation thread) cannot spin while the simulated clock races ahead.
  if (ms > 0 && std::this_thread::get_id() != g_mainThread) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } else {
    std::this_thread::yield();
  }
}

DWORD GetTickCount() { return static_cast<DWORD>(core::NowMs()); }

DWORD GetCurrentThreadId() {
  std::lock_guard<std::mutex> g(ThreadIdLock());
  auto self = std::this_thread::get_id();
  auto it = Ids().ids.find(self);
  if (it != Ids().ids.end()) return it->second;
  DWORD id = Ids().next;
  Ids().next += 4;
  Ids().ids[self] = id;
  return id;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  DWORD err;
  if (core::TakeFault("CreateMutexA", &err)) {
    SetLastError(err);
    return nullptr;
  }
  std::shared_ptr<Mutex> mtx;
  bool existed = false;
  if (name && *name) {
    std::lock_guard<std::mutex> g(NamesLock());
    auto& slot = MutexNames()[name];
    mtx = slot.lock();
    if (mtx) {
      existed = true;
    } else {
      mtx = std::make_shared<Mutex>();
      slot = mtx;
    }
  } else {
    mtx = std::make_shared<Mutex>();
  }
  if (initialOwner && !existed) mtx->Wait(INFINITE);
  HANDLE h = core::AddHandle(mtx);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

BOOL ReleaseMutex(HANDLE h) {
  auto mtx = core::FindHandleAs<Mutex>(h);
  if (!mtx) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mtx->Release()) {
    SetLastError(288);  // ERROR_NOT_OWNER
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
  DWORD err;
  if (core::TakeFault("WaitForSingleObject", &err)) {
    SetLastError(err);
    return WAIT_FAILED;
  }
  auto obj = core::FindHandle(h);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return obj->Wait(ms);
}

HRESULT CoInitialize(LPVOID) {
  DWORD err;
  if (core::TakeFault("CoInitialize", &err)) return static_cast<HRESULT>(err);
  return S_OK;
}

void CoUninitialize() {}

HRESULT CoCreateGuid(GUID* guid) {
  DWORD err;
  if (core::TakeFault("CoCreateGuid", &err)) return static_cast<HRESULT>(err);
  if (!guid) return E_FAIL;
  uint64_t a = NextRandom(), b = NextRandom();
  guid->Data1 = static_cast<uint32_t>(a >> 32);
  guid->Data2 = static_cast<uint16_t>(a >> 16);
  guid->Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<unsigned char>(b >> (56 - 8 * i));
  guid->Data4[0] = static_cast<unsigned char>((guid->Data4[0] & 0x3F) | 0x80);
  return S_OK;
}

void OutputDebugStringA(LPCSTR text) {
  std::lock_guard<std::mutex> g(DebugLock());
  DebugLines().push_back(text ? text : "");
}
