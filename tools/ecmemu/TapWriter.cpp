#include "tools/ecmemu/TapWriter.h"

namespace ecmemu {

TapWriter::TapWriter(TapDevice& tap, size_t capacity) : tap_(tap), capacity_(capacity), thread_([this] { Main(); }) {}

TapWriter::~TapWriter() { Stop(); }

void TapWriter::Post(const uint8_t* frame, size_t length) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return;
    if (queue_.size() >= capacity_) {
      ++counts_.dropped;
      return;
    }
    queue_.emplace_back(frame, frame + length);
  }
  ready_.notify_one();
}

void TapWriter::Stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  ready_.notify_one();
  if (thread_.joinable()) thread_.join();
}

TapWriterCounts TapWriter::counts() {
  std::lock_guard<std::mutex> guard(mutex_);
  return counts_;
}

void TapWriter::Main() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::vector<uint8_t> frame = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    bool written = tap_.Write(frame.data(), frame.size());
    lock.lock();
    ++(written ? counts_.written : counts_.refused);
  }
}

}  // namespace ecmemu
