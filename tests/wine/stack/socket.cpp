// The stream socket.
#include "classes.h"

#include <mutex>

#include "failures.h"
#include "operation.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;
using winrt::make_self;

struct Socket : implements<Socket, wns::IStreamSocket, wf::IClosable> {
  Socket() : model_(platform::newStreamSocket()), name_(label("StreamSocket")) {}

  wf::IAsyncAction ConnectAsync(const wn::HostName& host, const hstring& service) {
    trace(name_ + ".ConnectAsync host=" + nameOf(host) + " service=" + quoted(service));
    if (!host) raise(invalidArgument);
    {
      std::lock_guard guard(lock_);
      if (closed_) refuse(name_ + ".ConnectAsync", objectClosed, "the socket is closed");
      if (connecting_) refuse(name_ + ".ConnectAsync", illegalMethodCall, "connected once already");
      connecting_ = true;
    }
    auto op = make_self<Action>("ConnectAsync");
    pipe(platform::connectAsync(model_, hostNameModel(host), units(service)), op,
         [] { return true; });
    return op.as<wf::IAsyncAction>();
  }
  template <typename A>
  Unused ConnectAsync(const A&) {
    return {};
  }
  template <typename A, typename B, typename C>
  Unused ConnectAsync(const A&, const B&, const C&) {
    return {};
  }
  template <typename A, typename B>
  Unused ConnectAsync(const A&, const B&) requires(!std::is_same_v<A, wn::HostName>) {
    return {};
  }

  wss::IInputStream InputStream() {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + ".InputStream", objectClosed, "the socket is closed");
    if (!input_)
      input_ = wrapInputStream(model([&] { return platform::socketInputStream(model_); }));
    trace(name_ + ".InputStream -> " + nameOf(input_));
    return input_;
  }
  wss::IOutputStream OutputStream() {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + ".OutputStream", objectClosed, "the socket is closed");
    if (!output_)
      output_ = wrapOutputStream(model([&] { return platform::socketOutputStream(model_); }));
    trace(name_ + ".OutputStream -> " + nameOf(output_));
    return output_;
  }
  void Close() {
    trace(name_ + ".Close");
    {
      std::lock_guard guard(lock_);
      closed_ = true;
    }
    model([&] { platform::closeSocket(model_); });
  }
  UNUSED_MEMBER(Control)
  UNUSED_MEMBER(Information)
  UNUSED_MEMBER(UpgradeToSslAsync)

  Ref<platform::StreamSocket> model_;
  std::string name_;
  std::mutex lock_;
  bool closed_ = false;
  bool connecting_ = false;
  wss::IInputStream input_{nullptr};
  wss::IOutputStream output_{nullptr};
};

struct SocketFactory : implements<SocketFactory, wf::IActivationFactory> {
  wf::IInspectable ActivateInstance() const {
    return traced<Socket, wf::IInspectable>("StreamSocket.new");
  }
};

}  // namespace

wf::IActivationFactory streamSocketFactory() {
  return make<SocketFactory>().as<wf::IActivationFactory>();
}

}  // namespace stack
