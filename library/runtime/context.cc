// The runtime context and the machine information read from it.

#include "kr/context.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "filexfer_internal.h"
#include "kr/trace.h"
#include "memory.h"
#include "msg_internal.h"

namespace kr_internal {
std::unique_ptr<TraceSink> MakeDefaultTraceSink();
}  // namespace kr_internal

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

std::string HostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
  return buf;
}

void FillFromEnvironment(KrContext* c, const ContextOptions& o) {
  c->machine_name = !o.machine_name.empty() ? o.machine_name : EnvOr("KR_MACHINE", HostName());
  c->home = !o.home.empty() ? o.home : EnvOr("KR_HOME", kKrDefaultHome);
  c->process_name = o.process_name;
  c->fixed_time = o.fixed_time;
  if (!c->fixed_time) {
    const char* t = std::getenv("KR_FIXED_TIME");
    if (t != nullptr && *t != '\0') {
      char* end = nullptr;
      long long v = std::strtoll(t, &end, 10);
      if (end != t && *end == '\0') c->fixed_time = v;
    }
  }
  const char* scale = std::getenv("KR_TIMEOUT_SCALE");
  if (scale != nullptr && *scale != '\0') {
    char* end = nullptr;
    double v = std::strtod(scale, &end);
    if (end != scale && *end == '\0' && v > 0) c->timeout_scale = v;
  }
  const char* lvl = std::getenv("KR_TRACE_LEVEL");
  if (lvl != nullptr && *lvl != '\0') c->trace_level = std::atoi(lvl);
  c->default_sink = kr_internal::MakeDefaultTraceSink();
}

KR_TLS_FAST thread_local KrContext* t_current = nullptr;
thread_local std::unique_ptr<KrContext> t_default;

}  // namespace

namespace kr_internal {

struct ContextState {
  alignas(kContextPluginDataAlign) unsigned char plugin_data[kContextPluginDataSize] = {};
  MsgState* msg = nullptr;
  FileXferState* filexfer = nullptr;
  // The library slot: the object, its type and how to destroy it.
  void* library = nullptr;
  const void* library_type = nullptr;
  ContextLibraryDestroy library_destroy = nullptr;
};

MsgState* ContextMsgState(const KrContext* context) noexcept {
  return context != nullptr ? context->internal->msg : nullptr;
}

void ContextSetMsgState(KrContext* context, MsgState* state) noexcept {
  context->internal->msg = state;
}

FileXferState** ContextFileXferSlot(KrContext* context) noexcept {
  return &context->internal->filexfer;
}

void* ContextLibrarySlot(const void* type, ContextLibraryMake make,
                         ContextLibraryDestroy destroy) noexcept {
  ContextState* s = ContextCurrent()->internal.get();
  if (s->library == nullptr) {
    s->library = make();
    if (s->library == nullptr) return nullptr;
    s->library_type = type;
    s->library_destroy = destroy;
  }
  return s->library_type == type ? s->library : nullptr;
}

}  // namespace kr_internal

KrContext::KrContext() : internal(std::make_unique<kr_internal::ContextState>()) {}

KrContext::~KrContext() {
  kr_internal::MsgStateDestroy(internal->msg);
  internal->msg = nullptr;
  kr_internal::FileXferStateDestroy(internal->filexfer);
  internal->filexfer = nullptr;
  if (internal->library != nullptr) internal->library_destroy(internal->library);
  internal->library = nullptr;
  if (t_current == this) t_current = nullptr;
}

KrContext* ContextCurrent() noexcept {
  if (t_current != nullptr) return t_current;
  if (!t_default) t_default = ContextCreate(ContextOptions{});
  return t_default.get();
}

std::unique_ptr<KrContext> ContextCreate(const ContextOptions& options) noexcept {
  auto c = std::make_unique<KrContext>();
  FillFromEnvironment(c.get(), options);
  return c;
}

KrContext* ContextSetCurrent(KrContext* context) noexcept {
  KrContext* prev = t_current;
  t_current = context;
  return prev;
}

void* ContextGetPluginData() noexcept { return ContextCurrent()->internal->plugin_data; }

const char* SysLocalMachineName() noexcept { return ContextCurrent()->machine_name.c_str(); }

int MachInfoFind(MachInfo* info, const char* machine_name) noexcept {
  if (info == nullptr || machine_name == nullptr) return 0;
  KrContext* c = ContextCurrent();
  if (strcasecmp(machine_name, c->machine_name.c_str()) == 0) {
    info->name = c->machine_name;
    info->version = kKrVersionString;
    return 1;
  }
  if (kr_internal::MsgMachineKnown(c->home, machine_name)) {
    info->name = machine_name;
    // What another machine runs is known once one of its processes has been met.
    if (!kr_internal::MsgMachineVersion(machine_name, &info->version)) info->version.clear();
    return 1;
  }
  return 0;
}

const char* MachInfoKEVersionString(const MachInfo* info) noexcept {
  return info != nullptr ? info->version.c_str() : "";
}
