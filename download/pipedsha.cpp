#include "download/pipedsha.h"

#include <algorithm>
#include <system_error>
#include <utility>

CPipedSha256::CPipedSha256() {
  m_current.reserve(kBlockBytes);
  try {
    m_thread = std::thread(&CPipedSha256::Run, this);
    m_bThreaded = true;
  } catch (const std::system_error&) {
    m_bThreaded = false;
  }
}

CPipedSha256::~CPipedSha256() { Stop(); }

void CPipedSha256::Stop() {
  if (!m_bThreaded) return;
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bEnd = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) m_thread.join();
  m_bThreaded = false;
}

void CPipedSha256::Run() {
  std::unique_lock<std::mutex> g(m_lock);
  for (;;) {
    m_changed.wait(g, [this] { return !m_queue.empty() || m_bEnd; });
    if (m_queue.empty()) return;  // ended, and everything is hashed
    Block block = std::move(m_queue.front());
    m_queue.pop_front();
    const bool bFailed = m_bFailed;
    g.unlock();
    const bool bOk = bFailed || m_hash.Update(block.data(), block.size());
    block.clear();
    g.lock();
    if (!bOk) m_bFailed = true;
    m_free.push_back(std::move(block));
    m_changed.notify_all();
  }
}

bool CPipedSha256::HandOver() {
  std::unique_lock<std::mutex> g(m_lock);
  m_changed.wait(g, [this] { return m_queue.size() < kMaxQueued; });
  m_queue.push_back(std::move(m_current));
  if (!m_free.empty()) {
    m_current = std::move(m_free.back());
    m_free.pop_back();
  } else {
    m_current = Block();
    m_current.reserve(kBlockBytes);
  }
  const bool bOk = !m_bFailed;
  g.unlock();
  m_changed.notify_all();
  return bOk;
}

bool CPipedSha256::Update(const void* pData, size_t cbData) {
  if (!m_bThreaded) {
    if (!m_bFailed && !m_hash.Update(pData, cbData)) m_bFailed = true;
    return !m_bFailed;
  }
  const unsigned char* p = static_cast<const unsigned char*>(pData);
  bool bOk = true;
  while (cbData > 0) {
    const size_t n = std::min(cbData, kBlockBytes - m_current.size());
    m_current.insert(m_current.end(), p, p + n);
    p += n;
    cbData -= n;
    if (m_current.size() == kBlockBytes) bOk = HandOver() && bOk;
  }
  return bOk;
}

bool CPipedSha256::FinalHex(std::string* pstrHex) {
  if (m_bThreaded) {
    if (!m_current.empty()) HandOver();
    Stop();
  }
  if (m_bFailed) return false;
  return m_hash.FinalHex(pstrHex);
}
