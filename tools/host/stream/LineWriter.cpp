// The writer thread behind LineWriter: takes every queued line at once and
// writes them in chunks of whole lines. A write cut short (a full disk, a file
// size limit) is truncated back to the last whole line, or, where the file
// cannot be truncated, the next line starts after a newline of its own.
#include "tools/host/stream/LineWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace runner {
namespace {

constexpr std::size_t kChunkBytes = 64u << 10;

// Writes all of `data` unless an error comes first; the bytes written, and
// the error (0 when none).
std::pair<std::size_t, int> WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
    } else {
      return {done, n < 0 ? errno : EIO};
    }
  }
  return {done, 0};
}

}  // namespace

LineWriter::LineWriter(int fd, bool owned) : fd_(fd), owned_(owned), thread_([this] { Loop(); }) {}

LineWriter::~LineWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
  if (owned_ && fd_ >= 0) ::close(fd_);
}

void LineWriter::Write(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queuedBytes_ + line.size() > kMaxQueuedBytes) {
      ++lost_;
      return;
    }
    queuedBytes_ += line.size() + 1;
    line += '\n';
    queue_.push_back(Item{std::move(line), false});
  }
  wake_.notify_one();
}

void LineWriter::Reopen(std::string path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Item{std::move(path), true});
  }
  wake_.notify_one();
}

void LineWriter::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  drained_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

std::size_t LineWriter::lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

int LineWriter::TakeError() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (errorTaken_ || !firstError_) return 0;
  errorTaken_ = true;
  return firstError_;
}

bool LineWriter::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

void LineWriter::Failed(int error, std::size_t linesLost) {
  std::lock_guard<std::mutex> lock(mutex_);
  lost_ += linesLost;
  if (!firstError_) firstError_ = error;
  if (error == EPIPE) closed_ = true;  // the reader is gone for good
}

void LineWriter::WriteChunk(std::string& chunk, std::size_t lines) {
  if (chunk.empty()) return;
  const std::string text = std::move(chunk);
  chunk.clear();
  if (fd_ < 0 || closed()) return Failed(fd_ < 0 ? EBADF : EPIPE, lines);
  if (freshLineNeeded_) {
    if (const int error = WriteAll(fd_, "\n", 1).second) return Failed(error, lines);
    freshLineNeeded_ = false;
  }
  const auto [done, error] = WriteAll(fd_, text.data(), text.size());
  if (!error) return;
  const auto last = done == 0 ? std::string::npos : text.rfind('\n', done - 1);
  const std::size_t kept = last == std::string::npos ? 0 : last + 1;
  const auto written = static_cast<std::size_t>(std::count(text.begin(), text.begin() + kept, '\n'));
  if (done > kept) {  // part of a line is in the file: take it back
    const off_t cut = static_cast<off_t>(done - kept);
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end >= cut && ::ftruncate(fd_, end - cut) == 0) ::lseek(fd_, end - cut, SEEK_SET);
    else freshLineNeeded_ = true;
  }
  Failed(error, lines - written);
}

void LineWriter::Switch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return Failed(errno, 0);  // the old file goes on taking the lines
  if (owned_ && fd_ >= 0) ::close(fd_);
  fd_ = fd;
  owned_ = true;
  freshLineNeeded_ = false;
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = false;
}

void LineWriter::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() && stop_) return;
    std::deque<Item> batch;
    batch.swap(queue_);
    queuedBytes_ = 0;
    busy_ = true;
    lock.unlock();
    std::string chunk;
    std::size_t lines = 0;
    for (auto& item : batch) {
      if (item.reopen) {
        WriteChunk(chunk, lines);
        lines = 0;
        Switch(item.text);
        continue;
      }
      chunk += item.text;
      if (++lines, chunk.size() >= kChunkBytes) {
        WriteChunk(chunk, lines);
        lines = 0;
      }
    }
    WriteChunk(chunk, lines);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) drained_.notify_all();
  }
}

}  // namespace runner
