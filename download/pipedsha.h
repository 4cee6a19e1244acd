// SHA-256 on a thread of its own: Update copies the bytes into a block and
// hands each full block to the hashing thread, so that hashing a download
// overlaps its network reads instead of adding to them. Where no thread can
// be started it hashes in the caller's thread.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/crypto.h"

class CPipedSha256 {
 public:
  CPipedSha256();
  ~CPipedSha256();
  CPipedSha256(const CPipedSha256&) = delete;
  CPipedSha256& operator=(const CPipedSha256&) = delete;

  // False once hashing has failed; the bytes are copied, the caller's
  // buffer is free again on return.
  bool Update(const void* pData, size_t cbData);
  // Waits for every block and gives the digest (64 lower-case hex digits);
  // false when any Update failed. No Update afterwards.
  bool FinalHex(std::string* pstrHex);

 private:
  typedef std::vector<unsigned char> Block;
  void Run();
  bool HandOver();
  void Stop();

  static const size_t kBlockBytes = 256 * 1024;
  static const size_t kMaxQueued = 8;  // 2 MiB waiting at most

  CPlatSha256 m_hash;
  Block m_current;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<Block> m_queue;  // full blocks, oldest first
  std::vector<Block> m_free;  // hashed blocks, for reuse
  bool m_bEnd = false;
  bool m_bFailed = false;
  bool m_bThreaded = false;
  std::thread m_thread;
};
