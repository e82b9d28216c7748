// The data reader.
#include "classes.h"

#include <mutex>
#include <vector>

#include "failures.h"
#include "operation.h"
#include "platform/sim/world.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;
using winrt::make_self;

// Loads from its stream into a buffer of its own and hands out only what was loaded. One load
// at a time; closing the stream under a pending load fails it.
struct DataReader : implements<DataReader, wss::IDataReader, wf::IClosable> {
  explicit DataReader(wss::IInputStream s) : stream_(std::move(s)), name_(label("DataReader")) {}

  wss::InputStreamOptions InputStreamOptions() const { return options_; }
  void InputStreamOptions(wss::InputStreamOptions options) {
    trace(name_ + ".InputStreamOptions " + std::to_string(static_cast<uint32_t>(options)));
    options_ = options;
  }
  uint32_t UnconsumedBufferLength() const {
    std::lock_guard guard(lock_);
    return static_cast<uint32_t>(unconsumed_.size() - head_);
  }

  wss::DataReaderLoadOperation LoadAsync(uint32_t count) {
    trace(name_ + ".LoadAsync " + std::to_string(count));
    {
      std::lock_guard guard(lock_);
      if (closed_) refuse(name_ + ".LoadAsync", objectClosed, "the reader is closed");
      if (loading_) refuse(name_ + ".LoadAsync", illegalMethodCall, "a load is pending");
      if (!stream_) refuse(name_ + ".LoadAsync", illegalMethodCall, "the reader has no stream");
      loading_ = true;
    }
    auto op = make_self<Op<uint32_t>>("LoadAsync");
    // A faulty stack may load (and yield) more than it was asked for.
    uint32_t asked = count + sim::world().loadBeyond;
    auto buffer = make<Buffer>(asked);
    wf::IAsyncOperationWithProgress<wss::IBuffer, uint32_t> read{nullptr};
    try {
      read = stream_.ReadAsync(buffer, asked, options_);
    } catch (const winrt::hresult_error&) {
      std::lock_guard guard(lock_);
      loading_ = false;
      throw;
    }
    auto self = get_strong();
    finishWith(
        read, op,
        [self](const wss::IBuffer& buffer) {
          Buffer& loaded = bufferOf(buffer);
          std::lock_guard guard(self->lock_);
          self->unconsumed_.insert(self->unconsumed_.end(), loaded.bytes_.begin(),
                                   loaded.bytes_.end());
          return static_cast<uint32_t>(loaded.bytes_.size());
        },
        [self] {
          std::lock_guard guard(self->lock_);
          self->loading_ = false;
        });
    return op.as<wss::DataReaderLoadOperation>();
  }

  void ReadBytes(winrt::array_view<uint8_t> out) {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + ".ReadBytes", objectClosed, "the reader is closed");
    size_t available = unconsumed_.size() - head_;
    trace(name_ + ".ReadBytes " + std::to_string(out.size()) + " of " + std::to_string(available) +
          " loaded");
    if (out.size() > available) refuse(name_ + ".ReadBytes", bounds, "more than was loaded");
    std::copy_n(unconsumed_.begin() + static_cast<ptrdiff_t>(head_), out.size(), out.begin());
    head_ += out.size();
    if (head_ == unconsumed_.size()) {
      unconsumed_.clear();
      head_ = 0;
    }
  }
  uint8_t ReadByte() {
    uint8_t b = 0;
    ReadBytes(winrt::array_view<uint8_t>(&b, 1));
    return b;
  }
  void Close() {
    trace(name_ + ".Close");
    closeOver(lock_, closed_, stream_);
  }
  UNUSED_MEMBER(UnicodeEncoding)
  UNUSED_MEMBER(ByteOrder)
  UNUSED_MEMBER(ReadBuffer)
  UNUSED_MEMBER(ReadBoolean)
  UNUSED_MEMBER(ReadGuid)
  UNUSED_MEMBER(ReadInt16)
  UNUSED_MEMBER(ReadInt32)
  UNUSED_MEMBER(ReadInt64)
  UNUSED_MEMBER(ReadUInt16)
  UNUSED_MEMBER(ReadUInt32)
  UNUSED_MEMBER(ReadUInt64)
  UNUSED_MEMBER(ReadSingle)
  UNUSED_MEMBER(ReadDouble)
  UNUSED_MEMBER(ReadString)
  UNUSED_MEMBER(ReadDateTime)
  UNUSED_MEMBER(ReadTimeSpan)
  UNUSED_MEMBER(DetachBuffer)
  UNUSED_MEMBER(DetachStream)

  wss::IInputStream stream_;
  std::string name_;
  mutable std::mutex lock_;
  wss::InputStreamOptions options_ = wss::InputStreamOptions::None;
  std::vector<uint8_t> unconsumed_;
  size_t head_ = 0;
  bool loading_ = false;
  bool closed_ = false;
};

struct DataReaderFactory : implements<DataReaderFactory, wf::IActivationFactory,
                                      wss::IDataReaderFactory, wss::IDataReaderStatics> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  wss::DataReader CreateDataReader(const wss::IInputStream& input) const {
    if (!input) raise(invalidArgument);
    return traced<DataReader, wss::DataReader>("DataReader.new over " + nameOf(input), input);
  }
  UNUSED_MEMBER(FromBuffer)
};

}  // namespace

wf::IActivationFactory dataReaderFactory() {
  return make<DataReaderFactory>().as<wf::IActivationFactory>();
}

}  // namespace stack
