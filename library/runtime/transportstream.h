// The transport's connection stream: one TCP connection, plain or TLS, that links and data
// connections read and write through. Its reads and writes are templates over Asio's buffers and
// handlers, so it lives in a header of its own, included by transport_internal.h only.
#pragma once

// Asio is configured where transport_internal.h first includes it (ASIO_DISABLE_FENCED_BLOCK).

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace kr_internal {

using asio::ip::tcp;
using TlsStream = asio::ssl::stream<tcp::socket>;

// A TCP connection, plain or TLS. Kept behind a pointer so that a connection can pass from a
// link to a data connection with its TLS state (and any bytes it has already decrypted).
//
// A data connection moves its own TLS records once its hellos are done (TakeOverRecords): the
// TLS stream hands the socket at most one 16 KiB record per read and per write, each a trip
// through the event loop, which made a busy data channel a fraction of plain TCP. Instead
// OpenSSL reads the socket itself, as much as a large record buffer holds at a time, and
// decrypts there; what it encrypts goes straight into an outgoing buffer, sent a staging
// buffer's worth at a time. No memory BIO in between: each of those cost a copy and a clear
// of every byte.
class Stream {
 public:
  explicit Stream(tcp::socket sock) : plain_(std::move(sock)) {}
  tcp::socket& socket() { return tls_ ? tls_->next_layer() : plain_; }
  TlsStream* tls() { return tls_.get(); }
  void StartTls(asio::ssl::context& ctx) {
    tls_ = std::make_unique<TlsStream>(std::move(plain_), ctx);
    // Asio asks OpenSSL to free its record buffers whenever they empty; on a busy data channel
    // that is an allocation and a free per record. Keep them.
    SSL_clear_mode(tls_->native_handle(), SSL_MODE_RELEASE_BUFFERS);
  }
  // From now on this stream's TLS records go through memory buffers of its own. Only at a
  // point where no read or write is in progress. Bytes the TLS stream already took from the
  // socket but did not decrypt yet come along; ones it decrypted stay in the TLS state.
  void TakeOverRecords() {
    if (!tls_ || records_) return;
    const BIO_METHOD* method = RecordsMethod();
    asio::error_code ec;
    socket().non_blocking(true, ec);
    BIO* bio = method != nullptr && !ec ? BIO_new(method) : nullptr;
    if (bio == nullptr) return;  // keep the TLS stream's own way
    SSL* ssl = tls_->native_handle();
    auto records = std::make_unique<Records>();
    records->fd = socket().native_handle();
    unsigned char chunk[4096];
    int n;
    while ((n = BIO_read(SSL_get_rbio(ssl), chunk, sizeof chunk)) > 0)
      records->left.insert(records->left.end(), chunk, chunk + n);
    BIO_set_data(bio, records.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    // Writes to memory always complete: one call makes all of a buffer's records.
    SSL_clear_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    // Read as much as the socket has, up to a large record buffer: one system call for many
    // records. The buffer the handshake used is replaced by a larger one at the next read
    // (unless it still holds bytes; then it stays as it is).
    SSL_set_read_ahead(ssl, 1);
    SSL_set_default_read_buffer_len(ssl, kStagingSize);
    SSL_free_buffers(ssl);
    records_ = std::move(records);
  }
  void Close() {
    asio::error_code ec;
    socket().close(ec);
  }
  template <class B, class H>
  void ReadSome(const B& buffers, H handler) {
    if (records_)
      RecordsRead(buffers, std::move(handler));
    else if (tls_)
      tls_->async_read_some(buffers, std::move(handler));
    else
      plain_.async_read_some(buffers, std::move(handler));
  }
  template <class B, class H>
  void Read(const B& buffers, H handler) {
    if (records_)
      RecordsReadAll(buffers, 0, std::move(handler));
    else if (tls_)
      asio::async_read(*tls_, buffers, std::move(handler));
    else
      asio::async_read(plain_, buffers, std::move(handler));
  }
  template <class B, class H>
  void Write(const B& buffers, H handler) {
    if (records_)
      RecordsWrite(buffers, std::move(handler));
    else if (tls_)
      asio::async_write(*tls_, buffers, std::move(handler));
    else
      asio::async_write(plain_, buffers, std::move(handler));
  }
  // Sends the TLS close notice; the handler runs once the peer has closed (or on an error).
  template <class H>
  void Shutdown(H handler) {
    if (!records_) return tls_->async_shutdown(std::move(handler));
    ERR_clear_error();
    SSL_shutdown(tls_->native_handle());
    Flush([this, handler = std::move(handler)](const asio::error_code& ec) mutable {
      if (ec) return handler(ec);
      DrainUntilClosed(std::move(handler));
    });
  }

 private:
  static constexpr size_t kStagingSize = 256 * 1024;
  // What OpenSSL's reads and writes reach: the socket to read (after any bytes the TLS stream
  // had read ahead), and the outgoing buffer.
  struct Records {
    int fd = -1;
    std::vector<unsigned char> left;  // read ahead by the TLS stream, not yet decrypted
    size_t left_taken = 0;
    bool eof = false;                // the socket ended
    int error = 0;                   // the socket's errno
    std::vector<unsigned char> out;  // records made, not yet on their way
    std::vector<unsigned char> drain;
    struct Outgoing {
      std::vector<unsigned char> bytes;
      std::function<void(const asio::error_code&)> done;
    };
    std::deque<Outgoing> sending;  // records on their way out, in order
    std::vector<unsigned char> spare;
  };

  static int BioRead(BIO* bio, char* to, size_t size, size_t* got) {
    auto* r = static_cast<Records*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (r->left_taken < r->left.size()) {
      size_t n = std::min(size, r->left.size() - r->left_taken);
      std::memcpy(to, r->left.data() + r->left_taken, n);
      r->left_taken += n;
      *got = n;
      return 1;
    }
    ssize_t n = ::recv(r->fd, to, size, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return 1;
    }
    if (n == 0)
      r->eof = true;
    else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      BIO_set_retry_read(bio);
    else
      r->error = errno;
    return 0;
  }
  static int BioWrite(BIO* bio, const char* from, size_t size, size_t* put) {
    auto* r = static_cast<Records*>(BIO_get_data(bio));
    const auto* bytes = reinterpret_cast<const unsigned char*>(from);
    r->out.insert(r->out.end(), bytes, bytes + size);
    *put = size;
    return 1;
  }
  static long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
  // Made once per process; null when even that fails (then the TLS stream keeps its way).
  static const BIO_METHOD* RecordsMethod() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kr records");
      if (m != nullptr &&
          (BIO_meth_set_read_ex(m, &BioRead) != 1 || BIO_meth_set_write_ex(m, &BioWrite) != 1 ||
           BIO_meth_set_ctrl(m, &BioCtrl) != 1)) {
        BIO_meth_free(m);
        m = nullptr;
      }
      return m;
    }();
    return method;
  }

  asio::error_code TlsError(int ssl_error) {
    if (ssl_error == SSL_ERROR_ZERO_RETURN) return asio::error::eof;  // the close notice
    if (records_->error != 0) return asio::error_code(records_->error, asio::system_category());
    if (records_->eof) return asio::ssl::error::stream_truncated;  // no close notice first
    unsigned long e = ERR_get_error();
    if (e == 0) return asio::ssl::error::stream_truncated;
    return asio::error_code(static_cast<int>(e), asio::error::get_ssl_category());
  }
  template <class H>
  void Complete(H handler, const asio::error_code& ec, size_t n) {
    asio::post(socket().get_executor(),
               [handler = std::move(handler), ec, n]() mutable { handler(ec, n); });
  }

  // Decrypts what it can into `buffers`; reads the socket only when nothing is there yet.
  template <class B, class H>
  void RecordsRead(const B& buffers, H handler) {
    SSL* ssl = tls_->native_handle();
    size_t got = 0;
    int error = SSL_ERROR_NONE;
    ERR_clear_error();
    for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers);
         ++it) {
      asio::mutable_buffer b = *it;
      size_t done = 0;
      while (done < b.size()) {
        size_t n = 0;
        int r = SSL_read_ex(ssl, static_cast<char*>(b.data()) + done, b.size() - done, &n);
        if (r != 1) {
          error = SSL_get_error(ssl, r);
          break;
        }
        done += n;
      }
      got += done;
      if (done < b.size()) break;
    }
    if (got > 0) return Complete(std::move(handler), asio::error_code(), got);
    if (error != SSL_ERROR_WANT_READ) return Complete(std::move(handler), TlsError(error), 0);
    // Everything read so far is decrypted: wait for the socket.
    socket().async_wait(tcp::socket::wait_read, [this, buffers, handler = std::move(handler)](
                                                    const asio::error_code& ec) mutable {
      if (ec) return handler(ec, 0);
      RecordsRead(buffers, std::move(handler));
    });
  }
  // The hello of a data connection: exactly one buffer's worth.
  template <class H>
  void RecordsReadAll(asio::mutable_buffer b, size_t have, H handler) {
    if (have == b.size()) return Complete(std::move(handler), asio::error_code(), have);
    RecordsRead(b + have, [this, b, have, handler = std::move(handler)](const asio::error_code& ec,
                                                                        size_t n) mutable {
      if (ec) return handler(ec, have);
      RecordsReadAll(b, have + n, std::move(handler));
    });
  }
  // Encrypts and sends a gathered write a staging buffer's worth at a time, so that the records
  // being made stay in the cache and the socket gets the first of them early.
  template <class B, class H>
  void RecordsWrite(const B& buffers, H handler) {
    auto parts = std::make_shared<std::vector<asio::const_buffer>>(
        asio::buffer_sequence_begin(buffers), asio::buffer_sequence_end(buffers));
    RecordsWriteFrom(std::move(parts), 0, 0, std::move(handler));
  }
  template <class H>
  void RecordsWriteFrom(std::shared_ptr<std::vector<asio::const_buffer>> parts, size_t i,
                        size_t total, H handler) {
    SSL* ssl = tls_->native_handle();
    ERR_clear_error();
    for (size_t made = 0; i < parts->size() && made < kStagingSize; ++i) {
      asio::const_buffer b = (*parts)[i];
      for (size_t done = 0; done < b.size();) {
        size_t n = 0;
        int r = SSL_write_ex(ssl, static_cast<const char*>(b.data()) + done, b.size() - done, &n);
        if (r != 1) return Complete(std::move(handler), TlsError(SSL_get_error(ssl, r)), total);
        done += n;
      }
      total += b.size();
      made += b.size();
    }
    Flush(
        [this, parts, i, total, handler = std::move(handler)](const asio::error_code& ec) mutable {
          if (ec || i == parts->size()) return handler(ec, ec ? 0 : total);
          RecordsWriteFrom(std::move(parts), i, total, std::move(handler));
        });
  }
  // Sends the records waiting in the outgoing buffer, after those already on their way (an
  // acknowledgement may still be going out when the first blocks follow it).
  void Flush(std::function<void(const asio::error_code&)> handler) {
    // The buffer of the last send takes the next records: a fresh one would be allocated for
    // every gathered write.
    std::vector<unsigned char> bytes = std::move(records_->out);
    records_->out = std::move(records_->spare);
    records_->out.clear();
    records_->sending.push_back({std::move(bytes), std::move(handler)});
    if (records_->sending.size() == 1) FlushNext();
  }
  void FlushNext() {
    asio::async_write(socket(), asio::buffer(records_->sending.front().bytes),
                      [this](const asio::error_code& ec, size_t) {
                        auto done = std::move(records_->sending.front().done);
                        records_->spare = std::move(records_->sending.front().bytes);
                        records_->sending.pop_front();
                        if (!records_->sending.empty()) FlushNext();
                        done(ec);
                      });
  }
  template <class H>
  void DrainUntilClosed(H handler) {
    records_->drain.resize(16 * 1024);
    socket().async_read_some(
        asio::buffer(records_->drain),
        [this, handler = std::move(handler)](const asio::error_code& ec, size_t) mutable {
          if (ec) return handler(ec);
          DrainUntilClosed(std::move(handler));
        });
  }

  tcp::socket plain_;
  std::unique_ptr<Records> records_;  // outlives the TLS state, whose BIO points into it
  std::unique_ptr<TlsStream> tls_;
};

}  // namespace kr_internal
