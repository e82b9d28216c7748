// The socket's input and output streams and the buffers they pass bytes in.
#include "classes.h"

#include <mutex>

#include "failures.h"
#include "operation.h"
#include "platform/sim/world.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;
using winrt::make_self;

// One of a socket's streams over the model's, with the model's reader or writer made on first
// use. Closed, it refuses what comes after.
template <typename Model, typename Worker>
struct StreamEnd {
  StreamEnd(Ref<Model> s, const char* kind) : model_(std::move(s)), name_(label(kind)) {}

  // The worker for `call`, made by `make` the first time; refused once closed.
  template <typename Make>
  Ref<Worker> worker(const char* call, Make make) {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + "." + call, objectClosed, "the stream is closed");
    if (!worker_) worker_ = model([&] { return make(model_); });
    return worker_;
  }

  void Close() {
    trace(name_ + ".Close");
    std::lock_guard guard(lock_);
    closed_ = true;
  }

  Ref<Model> model_;
  std::string name_;
  std::mutex lock_;
  Ref<Worker> worker_;
  bool closed_ = false;
};

struct InputStream : implements<InputStream, wss::IInputStream, wf::IClosable>,
                     StreamEnd<platform::InputStream, platform::DataReader> {
  explicit InputStream(Ref<platform::InputStream> s) : StreamEnd(std::move(s), "InputStream") {}

  wf::IAsyncOperationWithProgress<wss::IBuffer, uint32_t> ReadAsync(
      const wss::IBuffer& buffer, uint32_t count, wss::InputStreamOptions options) {
    trace(name_ + ".ReadAsync count=" + std::to_string(count) +
          " options=" + std::to_string(static_cast<uint32_t>(options)));
    Buffer& target = bufferOf(buffer);
    if (count > target.capacity_) raise(invalidArgument);
    auto reader = worker("ReadAsync", platform::newDataReader);
    if ((options & wss::InputStreamOptions::Partial) == wss::InputStreamOptions::Partial)
      platform::setInputStreamOptionsPartial(reader);
    auto op = make_self<ProgressOp<wss::IBuffer, uint32_t>>("ReadAsync");
    pipe(
        platform::loadAsync(reader, count), op,
        [reader, buffer](uint32_t n) {
          Buffer& b = *winrt::get_self<Buffer>(buffer);
          b.bytes_.resize(n);
          platform::readBytes(reader, std::span(b.bytes_.data(), n));
          return buffer;
        },
        // The model ends a read the socket's Close cut short as cancelled; Windows aborts it
        // (StreamSocket.Close "aborts any pending operations": ERROR_OPERATION_ABORTED).
        [](platform::hresult_error e) {
          if (e.code != cancelled) return e;
          e = sim::world().error(operationAborted);
          if (e.message.empty())
            e.message =
                u"The I/O operation has been aborted because of either a thread exit or an "
                u"application request.\r\n";
          return e;
        });
    return op.as<wf::IAsyncOperationWithProgress<wss::IBuffer, uint32_t>>();
  }
};

struct OutputStream : implements<OutputStream, wss::IOutputStream, wf::IClosable>,
                      StreamEnd<platform::OutputStream, platform::DataWriter> {
  explicit OutputStream(Ref<platform::OutputStream> s) : StreamEnd(std::move(s), "OutputStream") {}

  // The model's writer, made when a DataWriter is made over this stream.
  void prepareWriter() {
    std::lock_guard guard(lock_);
    if (!worker_) worker_ = model([&] { return platform::newDataWriter(model_); });
  }

  wf::IAsyncOperationWithProgress<uint32_t, uint32_t> WriteAsync(const wss::IBuffer& buffer) {
    Buffer& source = bufferOf(buffer);
    trace(name_ + ".WriteAsync bytes=" + std::to_string(source.bytes_.size()));
    auto writer = worker("WriteAsync", platform::newDataWriter);
    auto op = make_self<ProgressOp<uint32_t, uint32_t>>("WriteAsync");
    try {
      platform::writeBytes(writer, source.bytes_);
    } catch (const platform::hresult_error& e) {
      op->fail(e);
      return op.as<wf::IAsyncOperationWithProgress<uint32_t, uint32_t>>();
    }
    pipe(platform::storeAsync(writer), op, [](uint32_t n) { return n; });
    return op.as<wf::IAsyncOperationWithProgress<uint32_t, uint32_t>>();
  }
  wf::IAsyncOperation<bool> FlushAsync() {
    trace(name_ + ".FlushAsync");
    auto op = make_self<Op<bool>>("FlushAsync");
    op->complete(true);
    return op.as<wf::IAsyncOperation<bool>>();
  }
};

}  // namespace

Buffer::Buffer(uint32_t capacity) : capacity_(capacity) {
  bytes_.reserve(capacity);
}
Buffer::Buffer(std::vector<uint8_t> bytes)
    : capacity_(static_cast<uint32_t>(bytes.size())), bytes_(std::move(bytes)) {}
void Buffer::Length(uint32_t length) {
  if (length > capacity_) raise(invalidArgument);
  bytes_.resize(length);
}

Buffer& bufferOf(const wss::IBuffer& buffer) {
  if (!buffer) raise(invalidArgument);
  return *winrt::get_self<Buffer>(buffer);
}

wss::IInputStream wrapInputStream(Ref<platform::InputStream> stream) {
  return make<InputStream>(std::move(stream));
}
wss::IOutputStream wrapOutputStream(Ref<platform::OutputStream> stream) {
  return make<OutputStream>(std::move(stream));
}
std::string nameOf(const wss::IInputStream& stream) {
  return winrt::get_self<InputStream>(stream)->name_;
}
std::string nameOf(const wss::IOutputStream& stream) {
  return winrt::get_self<OutputStream>(stream)->name_;
}
void prepareWriter(const wss::IOutputStream& stream) {
  winrt::get_self<OutputStream>(stream)->prepareWriter();
}

}  // namespace stack
