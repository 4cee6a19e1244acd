// Internals shared by the simulated areas: the kernel handle table, per-call
// fault injection and the reset hooks. Not for the logic.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {
namespace core {

// A kernel object behind a HANDLE. Waitable objects override Wait.
struct Object {
  virtual ~Object() = default;
  virtual const char* Kind() const = 0;
  // Returns WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
  virtual DWORD Wait(DWORD /*ms*/) { return WAIT_FAILED; }
};

HANDLE AddHandle(std::shared_ptr<Object> obj);
std::shared_ptr<Object> FindHandle(HANDLE h);
template <class T>
std::shared_ptr<T> FindHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(FindHandle(h));
}
bool RemoveHandle(HANDLE h);

// True when a fault was armed for `api`: *error receives the injected error,
// which the caller reports through its own failure convention.
bool TakeFault(const char* api, DWORD* error);

// Area modules register their reset work; simwin::Reset runs it all.
void OnReset(std::function<void()> fn);

// Local clock in milliseconds since 1601-01-01 (FILETIME epoch / 10000).
uint64_t NowMs();
void AdvanceMs(uint64_t ms);

}  // namespace core
}  // namespace simwin
