// The queue of buffers an open stream works through, the same for every backend: the head
// buffer is filled (input) or emptied (output) from HeadPos(); finished buffers go back in queue
// order. Not locked: the stream holds its own lock around every call except MarkDone.
#pragma once

#include <deque>
#include <vector>

#include "platform/wave/Wave.h"

namespace platform::wave {

class TBufferQueue {
 public:
  explicit TBufferQueue(TWaveDir dir) : dir_(dir) {}

  void Add(TWaveHdr* h) {
    h->dwFlags = (h->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    if (dir_ == TWaveDir::In) h->dwBytesRecorded = 0;
    q_.push_back(h);
  }
  bool Empty() const { return q_.empty(); }
  TWaveHdr* Head() const { return q_.front(); }
  size_t HeadPos() const { return headPos_; }

  // `n` more bytes of the head buffer are done; a buffer done up to `cap` leaves the queue.
  // Returns whether it did.
  bool Advance(size_t n, size_t cap, std::vector<TWaveHdr*>& done) {
    headPos_ += n;
    TWaveHdr* h = q_.front();
    if (dir_ == TWaveDir::In) h->dwBytesRecorded = static_cast<uint32_t>(headPos_);
    if (headPos_ < cap) return false;
    done.push_back(h);
    q_.pop_front();
    headPos_ = 0;
    return true;
  }
  // Stop: an input hands back its partly filled buffer; the empty ones stay queued.
  void TakePartial(std::vector<TWaveHdr*>& done) {
    if (dir_ != TWaveDir::In || q_.empty() || headPos_ == 0) return;
    done.push_back(q_.front());
    q_.pop_front();
    headPos_ = 0;
  }
  // Reset: every queued buffer comes back.
  void TakeAll(std::vector<TWaveHdr*>& done) {
    done.insert(done.end(), q_.begin(), q_.end());
    q_.clear();
    headPos_ = 0;
  }
  // Outside the stream's lock, just before the callback sees a finished buffer.
  static void MarkDone(TWaveHdr* h) { h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE; }

 private:
  TWaveDir dir_;
  std::deque<TWaveHdr*> q_;
  size_t headPos_ = 0;
};

}  // namespace platform::wave
