// Messaging over links: which link reaches an address, sending frames, and turning the
// transport's events (links up and down, frames) into pending messages, task answers and channel
// changes. The waits only see what it queued, so it is its own file.

#include "kr/message.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "kr/trace.h"
#include "msg_internal.h"
#include "object_internal.h"
#include "msgstate.h"

namespace kr_internal {

namespace {

// ---------------------------------------------------------------------------------------------
// Links and frames.

uint64_t LinkFor(MsgState* s, const Obj* address) {
  PeerIdentity want;
  if (!AddressIdentity(address, &want)) return 0;
  std::string key = PeerKey(want.machine, want.process);
  auto p = s->primary.find(key);
  if (p != s->primary.end()) {
    auto l = s->links.find(p->second);
    if (l != s->links.end()) {
      uint64_t have = l->second.peer.instance;
      if (want.instance == 0 || have == 0 || want.instance == have) return p->second;
      TraceMessage(kTag, 6, 0, 3, "Address of '%s' on '%s' names an instance that is gone",
                   want.process.c_str(), want.machine.c_str());
      return 0;
    }
    s->primary.erase(p);
  }
  Endpoint ep;
  PeerIdentity expect;
  if (!MsgResolve(s, address, &ep, &expect)) {
    TraceMessage(kTag, 7, 0, -1, "No process '%s' is running on machine '%s'", want.process.c_str(),
                 want.machine.c_str());
    return 0;
  }
  uint64_t link = s->transport->Connect(ep, expect);
  if (link == 0) return 0;
  LinkInfo info;
  info.peer = expect;
  info.key = key;
  s->links.emplace(link, std::move(info));
  s->primary[key] = link;
  return link;
}

}  // namespace

bool SendOnLink(MsgState* s, uint64_t link, const Frame& frame) {
  std::string bytes;
  if (!FrameEncode(&bytes, frame)) {
    TraceMessage(kTag, 8, 0, -1, "Cannot encode a frame of type %u (object too large?)",
                 frame.type);
    return false;
  }
  return s->transport->Send(link, std::move(bytes));
}

namespace {

void RememberLost(MsgState* s, const PeerIdentity& peer) {
  s->lost.push_back(LostPeer{peer, ++s->loss_serial});
  if (s->lost.size() > kMaxLost) s->lost.pop_front();
}

void OnLinkUp(MsgState* s, const NetEvent& ev) {
  LinkInfo& l = s->links[ev.link];
  l.peer = ev.peer;
  l.up = true;
  l.key = PeerKey(ev.peer.machine, ev.peer.process);
  l.address = MakeAddress(ev.peer, 0, 0, 0);
  if (s->versions.size() < kMaxVersions || s->versions.count(Lower(ev.peer.machine)) != 0)
    s->versions[Lower(ev.peer.machine)] = ev.version;
  if (ev.reach.port != 0 && (s->reach.size() < kMaxVersions || s->reach.count(l.key) != 0))
    s->reach[l.key] = ev.reach;
  auto p = s->primary.find(l.key);
  if (p == s->primary.end() || s->links.count(p->second) == 0) s->primary[l.key] = ev.link;
  TraceMessage(kTag, 9, 0, 3, "Link %llu up with '%s' on '%s'",
               static_cast<unsigned long long>(ev.link), ev.peer.process.c_str(),
               ev.peer.machine.c_str());
}

void OnLinkDown(MsgState* s, uint64_t link) {
  auto it = s->links.find(link);
  if (it == s->links.end()) return;
  LinkInfo l = std::move(it->second);
  s->links.erase(it);
  auto p = s->primary.find(l.key);
  if (p != s->primary.end() && p->second == link) s->primary.erase(p);
  TraceMessage(kTag, 10, 0, 2, "Lost link to '%s' on '%s'", l.peer.process.c_str(),
               l.peer.machine.c_str());
  RememberLost(s, l.peer);
  Ref<Obj> peer_address = l.address ? l.address : MakeAddress(l.peer, 0, 0, 0);
  // Every link to a lost instance goes with it.
  if (l.peer.instance != 0) {
    for (auto& [id, other] : s->links)
      if (other.peer.instance == l.peer.instance) s->transport->CloseLink(id);
  }
  for (auto c = s->channels.begin(); c != s->channels.end();) {
    if (c->second.link != link) {
      ++c;
      continue;
    }
    Ref<Obj> source = MakeAddress(c->second.peer, 0, 0, c->first);
    PushPending(s, NewMessage(kMsgChannelLost, nullptr, peer_address, source, s->self_address),
                false);
    c = s->channels.erase(c);
  }
  for (auto g = s->given.begin(); g != s->given.end();) {
    if (g->second.link != link) {
      ++g;
      continue;
    }
    if (!g->second.accepted) {
      Ref<MsgTaskReturn> ret = MsgTaskReturn::New();
      ret->set_status(0);
      ret->set_error(kProcErrPeerLost);
      ret->set_task_address(g->second.destination);
      ret->set_task_id(g->first);
      PushPending(s, NewMessage(kMsgTaskReturn, ret.get(), peer_address, nullptr, s->self_address),
                  false);
    } else {
      Ref<MsgTaskEnd> end = MsgTaskEnd::New();
      end->set_task_address(g->second.task_address);
      end->set_task_id(g->first);
      end->set_status(-1);
      PushPending(s, NewMessage(kMsgTaskEnded, end.get(), peer_address, nullptr, s->self_address),
                  false);
    }
    g = s->given.erase(g);
  }
}

void NoteTaskAnswer(MsgState* s, uint64_t link, uint32_t type, Obj* object) {
  if (type == kMsgTaskReturn) {
    const MsgTaskReturn* r = ObjCast<MsgTaskReturn>(object);
    if (r == nullptr) return;
    auto g = s->given.find(r->task_id());
    if (g == s->given.end() || g->second.link != link) return;
    if (r->status() == 1 && AsAddress(r->task_address()) != nullptr) {
      g->second.accepted = true;
      g->second.task_address = Ref<Obj>::Share(r->task_address());
    } else {
      s->given.erase(g);
    }
  } else if (type == kMsgTaskEnded) {
    const MsgTaskEnd* e = ObjCast<MsgTaskEnd>(object);
    if (e == nullptr) return;
    auto g = s->given.find(e->task_id());
    if (g != s->given.end() && g->second.link == link) s->given.erase(g);
  }
}

void OnFrame(MsgState* s, uint64_t link, Frame& f) {
  auto it = s->links.find(link);
  if (it == s->links.end() || !it->second.up) return;
  LinkInfo& l = it->second;
  switch (f.kind) {
    case FrameKind::kMessage: {
      Ref<Obj> source;
      if (f.channel != 0) {
        auto c = s->channels.find(f.channel);
        if (c == s->channels.end()) {
          if (f.type != kMsgChannelConnect) {
            TraceMessage(kTag, 11, 0, 3, "Dropping message %u on closed channel %llx", f.type,
                         static_cast<unsigned long long>(f.channel));
            return;
          }
          if (l.peer_channels >= kMaxPeerChannelsPerLink) {
            // Refused, and said so to the opener: it hears 2705 rather than wait for nothing.
            if (l.refused_channels++ % 1024 == 0)
              TraceMessage(kTag, 25, 0, -1,
                           "Refusing channel %llx from '%s' on '%s': it has %zu channels open on "
                           "its link, the most allowed (%llu refused so far)",
                           static_cast<unsigned long long>(f.channel), l.peer.process.c_str(),
                           l.peer.machine.c_str(), l.peer_channels,
                           static_cast<unsigned long long>(l.refused_channels));
            Frame close;
            close.kind = FrameKind::kChannelClose;
            close.channel = f.channel;
            SendOnLink(s, link, close);
            return;
          }
          ChannelEntry e;
          e.link = link;
          e.peer = l.peer;
          e.by_peer = true;
          s->channels.emplace(f.channel, std::move(e));
          ++l.peer_channels;
        } else if (c->second.link != link) {
          TraceMessage(kTag, 12, 0, -1, "Dropping message %u for channel %llx from another link",
                       f.type, static_cast<unsigned long long>(f.channel));
          return;
        }
        source = MakeAddress(l.peer, 0, 0, f.channel);
      }
      NoteTaskAnswer(s, link, f.type, f.object.get());
      PushPending(s,
                  NewMessage(f.type, f.object.get(), l.address, std::move(source),
                             MakeAddress(s->self, 0, static_cast<int32_t>(f.task), 0)),
                  false);
      break;
    }
    case FrameKind::kTask: {
      Ref<MsgTask> task = RefCast<MsgTask>(std::move(f.object));
      if (!task) {
        TraceMessage(kTag, 13, 0, -1, "Task hand-over of kind %u without a task object", f.type);
        return;
      }
      // Who gave the task is what the link says, not what the object claims.
      task->set_giver(l.address);
      task->set_task_address(nullptr);
      task->set_kind(static_cast<int32_t>(f.type));
      task->set_giver_task_id(static_cast<int32_t>(f.task));
      PushPending(s, NewMessage(0, task.get(), l.address, nullptr, s->self_address), true);
      break;
    }
    case FrameKind::kChannelClose: {
      auto c = s->channels.find(f.channel);
      if (c == s->channels.end() || c->second.link != link) return;
      Ref<Obj> source = MakeAddress(c->second.peer, 0, 0, f.channel);
      if (c->second.by_peer && l.peer_channels > 0) --l.peer_channels;
      s->channels.erase(c);
      PushPending(s, NewMessage(kMsgChannelLost, nullptr, l.address, source, s->self_address),
                  false);
      break;
    }
    default:
      break;
  }
}

}  // namespace

void CloseChannelEntry(MsgState* s, uint64_t id) {
  auto c = s->channels.find(id);
  if (c == s->channels.end()) return;
  if (c->second.link == 0) {
    // A channel to this process itself: the other end hears 2705 and is gone too.
    uint64_t partner = c->second.partner;
    s->channels.erase(c);
    if (s->channels.erase(partner) != 0)
      PushPending(s,
                  NewMessage(kMsgChannelLost, nullptr, s->self_address,
                             MakeAddress(s->self, 0, 0, partner), s->self_address),
                  false);
    return;
  }
  Frame f;
  f.kind = FrameKind::kChannelClose;
  f.channel = id;
  auto l = s->links.find(c->second.link);
  if (l != s->links.end()) {
    SendOnLink(s, c->second.link, f);
    if (c->second.by_peer && l->second.peer_channels > 0) --l->second.peer_channels;
  }
  s->channels.erase(c);
}

void OnChannelHandleDropped(MsgState* s, uint64_t id) { s->dropped_channels.push_back(id); }

void MsgIngest(MsgState* s) noexcept {
  while (!s->inbox.empty()) {
    NetEvent ev = std::move(s->inbox.front());
    s->inbox.pop_front();
    switch (ev.kind) {
      case NetEvent::kLinkUp:
        OnLinkUp(s, ev);
        break;
      case NetEvent::kLinkDown:
        OnLinkDown(s, ev.link);
        break;
      case NetEvent::kFrame:
        OnFrame(s, ev.link, ev.frame);
        break;
    }
  }
  while (!s->dropped_channels.empty()) {
    uint64_t id = s->dropped_channels.back();
    s->dropped_channels.pop_back();
    CloseChannelEntry(s, id);
  }
}

uint64_t MsgSendFrameTo(MsgState* s, const Obj* address, const Frame& frame) noexcept {
  uint64_t link = LinkFor(s, address);
  if (link == 0) return 0;
  return SendOnLink(s, link, frame) ? link : 0;
}

}  // namespace kr_internal
