// The data writer.
#include "classes.h"

#include <mutex>
#include <vector>

#include "failures.h"
#include "operation.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;
using winrt::make_self;

// Gathers written bytes in a buffer of its own; a store hands them to the stream. One store at
// a time, and no writing while one is pending.
struct DataWriter : implements<DataWriter, wss::IDataWriter, wf::IClosable> {
  explicit DataWriter(wss::IOutputStream s) : stream_(std::move(s)), name_(label("DataWriter")) {}

  void WriteBytes(winrt::array_view<const uint8_t> bytes) {
    std::lock_guard guard(lock_);
    trace(name_ + ".WriteBytes " + std::to_string(bytes.size()));
    if (closed_) refuse(name_ + ".WriteBytes", objectClosed, "the writer is closed");
    if (storing_) refuse(name_ + ".WriteBytes", illegalMethodCall, "a store is pending");
    unstored_.insert(unstored_.end(), bytes.begin(), bytes.end());
  }
  void WriteByte(uint8_t b) { WriteBytes(winrt::array_view<const uint8_t>(&b, 1)); }
  uint32_t UnstoredBufferLength() const {
    std::lock_guard guard(lock_);
    return static_cast<uint32_t>(unstored_.size());
  }

  wss::DataWriterStoreOperation StoreAsync() {
    std::vector<uint8_t> bytes;
    {
      std::lock_guard guard(lock_);
      trace(name_ + ".StoreAsync " + std::to_string(unstored_.size()));
      if (closed_) refuse(name_ + ".StoreAsync", objectClosed, "the writer is closed");
      if (storing_) refuse(name_ + ".StoreAsync", illegalMethodCall, "a store is pending");
      if (!stream_) refuse(name_ + ".StoreAsync", illegalMethodCall, "the writer has no stream");
      storing_ = true;
      bytes.swap(unstored_);
    }
    auto op = make_self<Op<uint32_t>>("StoreAsync");
    wf::IAsyncOperationWithProgress<uint32_t, uint32_t> write{nullptr};
    try {
      write = stream_.WriteAsync(make<Buffer>(std::move(bytes)));
    } catch (const winrt::hresult_error&) {
      std::lock_guard guard(lock_);
      storing_ = false;
      throw;
    }
    finishWith(
        write, op, [](uint32_t n) { return n; },
        [self = get_strong()] {
          std::lock_guard guard(self->lock_);
          self->storing_ = false;
        });
    return op.as<wss::DataWriterStoreOperation>();
  }
  wf::IAsyncOperation<bool> FlushAsync() {
    trace(name_ + ".FlushAsync");
    return stream_.FlushAsync();
  }
  void Close() {
    trace(name_ + ".Close");
    closeOver(lock_, closed_, stream_);
  }
  UNUSED_MEMBER(UnicodeEncoding)
  UNUSED_MEMBER(ByteOrder)
  UNUSED_MEMBER(WriteBuffer)
  UNUSED_MEMBER(WriteBoolean)
  UNUSED_MEMBER(WriteGuid)
  UNUSED_MEMBER(WriteInt16)
  UNUSED_MEMBER(WriteInt32)
  UNUSED_MEMBER(WriteInt64)
  UNUSED_MEMBER(WriteUInt16)
  UNUSED_MEMBER(WriteUInt32)
  UNUSED_MEMBER(WriteUInt64)
  UNUSED_MEMBER(WriteSingle)
  UNUSED_MEMBER(WriteDouble)
  UNUSED_MEMBER(WriteDateTime)
  UNUSED_MEMBER(WriteTimeSpan)
  UNUSED_MEMBER(WriteString)
  UNUSED_MEMBER(MeasureString)
  UNUSED_MEMBER(DetachBuffer)
  UNUSED_MEMBER(DetachStream)

  wss::IOutputStream stream_;
  std::string name_;
  mutable std::mutex lock_;
  std::vector<uint8_t> unstored_;
  bool storing_ = false;
  bool closed_ = false;
};

struct DataWriterFactory
    : implements<DataWriterFactory, wf::IActivationFactory, wss::IDataWriterFactory> {
  wf::IInspectable ActivateInstance() const {
    return make<DataWriter>(nullptr).as<wf::IInspectable>();
  }
  wss::DataWriter CreateDataWriter(const wss::IOutputStream& output) const {
    if (!output) raise(invalidArgument);
    prepareWriter(output);
    return traced<DataWriter, wss::DataWriter>("DataWriter.new over " + nameOf(output), output);
  }
};

}  // namespace

wf::IActivationFactory dataWriterFactory() {
  return make<DataWriterFactory>().as<wf::IActivationFactory>();
}

}  // namespace stack
