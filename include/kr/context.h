// The runtime context: what one process of the backup domain knows about itself.
//
// Every thread has a current context. Programs use the default one, made on first use from the
// environment; tests make their own, so that one test process can play several machines, each
// with its own installation home, clock and reports directory.
//
// Environment read when the default context is made:
//   KR_HOME         installation home (default kKrDefaultHome, /var/lib/kr); configuration lives
//                   in $KR_HOME/config
//   KR_MACHINE      this machine's name (default: the host name)
//   KR_FIXED_TIME   a fixed current time, seconds since 1970 UTC (default: the system clock)
//   KR_TIMEOUT_SCALE  multiplies protocol time-outs and alarms (default 1; tests shorten them)
//   KR_TRACE_LEVEL, KR_TRACE_FILE   see trace.h
//
// Thread safety: a context belongs to the thread that made it current; it is never shared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

class TraceSink;

namespace kr_internal {
struct ContextState;  // what the runtime keeps for itself in a context
}  // namespace kr_internal

// The installation home when neither the options nor KR_HOME name one: where the package
// installs it.
inline constexpr const char* kKrDefaultHome = "/var/lib/kr";

struct ContextOptions {
  std::string machine_name;  // empty: KR_MACHINE, else the host name
  std::string home;          // empty: KR_HOME, else the documented default
  std::optional<int64_t> fixed_time;
  std::string process_name;  // the name this process publishes for messaging
};

// The size and alignment of the block returned by ContextGetPluginData.
inline constexpr size_t kContextPluginDataSize = 256;
inline constexpr size_t kContextPluginDataAlign = 16;

struct KrContext {
  std::string machine_name;
  std::string home;
  std::string process_name;
  std::optional<int64_t> fixed_time;  // QuorTime and TimeNow return it when set
  double timeout_scale = 1.0;         // long protocol time-outs are multiplied by this
  int trace_level = 0;
  TraceSink* trace_sink = nullptr;          // null: the default sink below
  std::unique_ptr<TraceSink> default_sink;  // standard error, a file, or nothing
  // The runtime's own part: the plugin data block, the messaging state (the listener, links
  // and event loop, made on first use and ended with the context: its endpoint is unpublished,
  // its links closed), the file-transfer permits and the library slot (ContextLibraryState).
  std::unique_ptr<kr_internal::ContextState> internal;

  KrContext();
  ~KrContext();
  KrContext(const KrContext&) = delete;
  KrContext& operator=(const KrContext&) = delete;
};

// The calling thread's context; the default context is made on first use.
KrContext* ContextCurrent() noexcept;

// Makes a new context from the options (empty fields taken from the environment).
std::unique_ptr<KrContext> ContextCreate(const ContextOptions& options) noexcept;

// Makes `context` the calling thread's current context (null: back to the default context).
// Returns the previous current context.
KrContext* ContextSetCurrent(KrContext* context) noexcept;

// The calling context's plugin data block: kContextPluginDataSize bytes, zeroed when the context
// is made, for the library's per-context state.
void* ContextGetPluginData() noexcept;

// The plugin data block as the one type a library keeps there. The type must fit the block and
// be trivial, so that the block's zero bytes are its value until the library first sets it.
template <class T>
T* ContextPluginData() noexcept {
  static_assert(sizeof(T) <= kContextPluginDataSize, "too large for the plugin data block");
  static_assert(alignof(T) <= kContextPluginDataAlign, "aligned beyond the plugin data block");
  static_assert(std::is_trivial_v<T>, "the block starts as zero bytes, never constructed");
  return static_cast<T*>(ContextGetPluginData());
}

// The library slot: one object that a library keeps in each context, of one type, made in the
// calling context on first use and destroyed with the context (after its messaging has ended, so
// what the object holds of channels and handlers is already closed). Null when the slot holds an
// object of another type, so that two types never share it, or when the object cannot be made.
// The object's constructor may throw: the exception is caught here, and null returned.
namespace kr_internal {
using ContextLibraryMake = void* (*)() noexcept;
using ContextLibraryDestroy = void (*)(void*) noexcept;
void* ContextLibrarySlot(const void* type, ContextLibraryMake make,
                         ContextLibraryDestroy destroy) noexcept;
template <class T>
inline constexpr char kContextLibraryType = 0;  // its address names the type T
}  // namespace kr_internal

template <class T>
T* ContextLibraryState() noexcept {
  static_assert(std::is_nothrow_destructible_v<T>, "destroyed with the context, from noexcept");
  const kr_internal::ContextLibraryMake make = []() noexcept -> void* {
    try {
      return new T();
    } catch (...) {
      return nullptr;
    }
  };
  const kr_internal::ContextLibraryDestroy destroy = [](void* p) noexcept {
    delete static_cast<T*>(p);
  };
  return static_cast<T*>(
      kr_internal::ContextLibrarySlot(&kr_internal::kContextLibraryType<T>, make, destroy));
}

// This machine's name, as the calling context knows it.
const char* SysLocalMachineName() noexcept;

// Information about a machine of the domain.
struct MachInfo {
  std::string name;
  std::string version;  // the version text of the software installed on it
};

// Finds a machine by name (case-blind). The local machine is always known; other machines are
// known from the machines file (<home>/config/machines), from a process of theirs that
// published its endpoint in the home's run directory, or from a link made with one of their
// processes (doc/messaging.md). Their version text is the one given in that link's handshake,
// empty until a link with the machine has been made. 1 and *info on success, 0 when unknown.
int MachInfoFind(MachInfo* info, const char* machine_name) noexcept;

// The version text of a machine found with MachInfoFind.
const char* MachInfoKEVersionString(const MachInfo* info) noexcept;

// The version of this runtime, as reported for the local machine.
inline constexpr const char* kKrVersionString = "1.0.0";
