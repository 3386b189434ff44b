#include "multi_watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "directory_liveness.h"
#include "kq_error.h"
#include "platform.h"

namespace kq {

namespace {

// How often a quiet watch looks for clients that died, and for a client to attach through the
// shared objects; how long a refused shared attach keeps that client from being asked again.
constexpr std::int64_t DeathLookMs = 200;
constexpr std::int64_t SharedLookMs = 500;
constexpr std::int64_t RefusedForMs = 10000;
constexpr std::int32_t SharedAttachTimeOut = 1000;
constexpr std::int32_t MaxWatchUs = 50;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int32_t RoundedRing(std::int32_t size) {
  return (std::clamp(size, KqPrivateRingMin, KqPrivateRingMax) + KqBufferBlocks - 1) / KqBufferBlocks * KqBufferBlocks;
}

// Waits on the client's answer event for exactly that kind from it.
bool AwaitAnswer(TIPCEvent& event, std::int32_t clientID, TEventKind kind, std::int32_t timeOutMs) {
  const std::int64_t deadline = NowMs() + timeOutMs;
  for (;;) {
    const std::int64_t left = deadline - NowMs();
    if (left < 0 || !event.Wait(static_cast<std::int32_t>(left))) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (event.ID() == clientID && event.Kind() == kind) return true;
  }
}

}  // namespace

MultiWatch::MultiWatch(std::int32_t monitorID, std::int32_t ringSize)
    : FShared(monitorID), FRingSize(RoundedRing(ringSize)) {
  FChannels.reserve(KqChannelSlots);
  FViews.reserve(256);
  // Registered first, then the offer: a client takes it only from the registered monitor. The ping
  // invites the clients that wait already.
  FTable.Offer(monitorID, FRingSize);
  FShared.Ping(false);
  Scan(true);
}

MultiWatch::~MultiWatch() {
  // Detached before the offer goes, so that no client takes the offer again meanwhile; each answers
  // on its own event, so one slow client costs the others nothing.
  for (auto& channel : FChannels) channel->ToClient->SignalID(evMonitorDetach, channel->ID);
  const std::int64_t deadline = NowMs() + 2000;
  for (auto& channel : FChannels) {
    static_cast<void>(AwaitAnswer(*channel->FromClient, channel->ID, evClientDetach,
                                  static_cast<std::int32_t>(std::max<std::int64_t>(0, deadline - NowMs()))));
  }
  FChannels.clear();
  FTable.Withdraw(FShared.ID());
}

void MultiWatch::SetViewSettings(bool useRefNo, bool useTime) {
  FUseRefNo = useRefNo;
  FUseTime = useTime;
  FShared.SetViewSettings(useRefNo, useTime, {});
  for (auto& channel : FChannels) {
    channel->Ring->SetUseRefNo(useRefNo);
    channel->Ring->SetUseTime(useTime);
  }
}

MultiWatch::Channel* MultiWatch::Find(std::int32_t clientID) noexcept {
  for (auto& channel : FChannels)
    if (!channel->Closing && channel->ID == clientID) return channel.get();
  return nullptr;
}

WatchedClient& MultiWatch::Account(std::int32_t clientID, bool isPrivate) {
  for (auto& account : FAccounts)
    if (account.ID == clientID && account.Private == isPrivate) return account;
  WatchedClient account;
  account.ID = clientID;
  account.Private = isPrivate;
  FAccounts.push_back(account);
  return FAccounts.back();
}

bool MultiWatch::Join(std::int32_t slot, const ChannelSlot& entry) {
  auto channel = std::make_unique<Channel>();
  channel->ID = entry.ClientID;
  channel->Slot = slot;
  channel->Generation = entry.Generation;
  try {
    channel->Ring =
        std::make_unique<TIPCBuffer>(PrivateRingName(entry.ClientID), RoundedRing(entry.RingSize), KqBufferBlocks);
    if (channel->Ring->SharedMem().Created()) {
      // Nobody holds the ring any more: its client left or died before we came. A live client
      // publishes again.
      const std::optional<LivenessHolder> holder = Directory().ClientHolder(entry.ClientID);
      if (!holder || DirectoryLiveness::ClientGone(entry.ClientID, *holder))
        static_cast<void>(FTable.Free(slot, entry.ClientID, entry.State));
      return false;
    }
    channel->ToClient = std::make_unique<TIPCEvent>(PrivateClientEventName(entry.ClientID), false);
    channel->FromClient = std::make_unique<TIPCEvent>(PrivateMonitorEventName(entry.ClientID), false);
  } catch (const EKqError&) {
    return false;
  }
  channel->Holder = Directory().ClientHolder(entry.ClientID);
  channel->Ring->SetUseRefNo(FUseRefNo);
  channel->Ring->SetUseTime(FUseTime);
  channel->Ring->SetSpoolFile(FAppliedSpool);
  channel->Reader = std::make_unique<BufferReader>(*channel->Ring);
  Account(entry.ClientID, true).RingSize = channel->Ring->BufSize();
  FNewsList.push_back({WatchNewsKind::Joined, entry.ClientID, true});
  FChannels.push_back(std::move(channel));
  return true;
}

void MultiWatch::ReadChannel(Channel& channel, const std::function<void(std::int32_t, const TraceLineView&)>* fn) {
  channel.LastRefNo = channel.Reader->ReadNewerViews(channel.LastRefNo, FViews);
  if (FViews.empty()) return;
  WatchedClient& account = Account(channel.ID, true);
  for (const TraceLineView& line : FViews) {
    if (line.Gap) {
      account.Missing += line.Missing;
      ++account.GapRuns;
    } else {
      ++account.Records;
    }
    if (fn) (*fn)(channel.ID, line);
  }
}

void MultiWatch::ReadRest(Channel& channel, const std::function<void(std::int32_t, const TraceLineView&)>* fn) {
  // A read stops short on any doubt; the ring no longer changes, so a few passes take the rest.
  for (int pass = 0; pass < 16; ++pass) {
    const std::int32_t before = channel.LastRefNo;
    ReadChannel(channel, fn);
    if (channel.LastRefNo == before) break;
  }
}

void MultiWatch::Drop(std::size_t index, WatchNewsKind why) {
  Channel& channel = *FChannels[index];
  if (channel.Closing) return;
  channel.Closing = true;
  FNewsList.push_back({why, channel.ID, true});
}

void MultiWatch::ReadShared(const std::function<void(std::int32_t, const TraceLineView&)>* fn) {
  if (!FSharedID) return;
  WatchedClient& account = Account(*FSharedID, false);
  for (int pass = 0; pass < (FSharedLeft ? 16 : 1); ++pass) {
    const std::vector<TraceLineView>& lines = FShared.ReadNewViews();
    if (lines.empty() && pass > 0) break;
    for (const TraceLineView& line : lines) {
      if (line.Gap) {
        account.Missing += line.Missing;
        ++account.GapRuns;
      } else {
        ++account.Records;
      }
      if (fn) (*fn)(*FSharedID, line);
    }
  }
  for (const TraceLine& line : FDetachedLines) {
    if (line.Gap) {
      account.Missing += line.Missing;
      ++account.GapRuns;
    } else {
      ++account.Records;
    }
    if (fn) (*fn)(*FSharedID, TraceLineView{line.Gap, line.RefNo, line.Missing, line.Time, line.Cut, line.Text});
  }
  FDetachedLines.clear();
  if (FSharedLeft) {
    FSharedID.reset();
    FSharedLeft = false;
    FNextSharedLook = 0;
  }
}

void MultiWatch::Scan(bool lookForDeath) {
  for (std::int32_t slot = 0; slot < KqChannelSlots; ++slot) {
    const ChannelSlot entry = FTable.Slot(slot);
    Channel* channel = nullptr;
    for (auto& c : FChannels)
      if (!c->Closing && c->Slot == slot && c->ID == entry.ClientID) channel = c.get();
    if (entry.State == ChannelSlotState::Published) {
      if (channel && channel->Generation == entry.Generation) continue;
      if (channel) {  // a new ring under the same ID: the old one is read to its end first
        for (std::size_t i = 0; i < FChannels.size(); ++i)
          if (FChannels[i].get() == channel) Drop(i, WatchNewsKind::Detached);
      }
      static_cast<void>(Join(slot, entry));
    } else if (entry.State == ChannelSlotState::Leaving) {
      // The client keeps its ring until our answer: one we never met is joined now, so that what it
      // wrote is read; either way the rest is read through our view after the answer.
      if (!channel && Join(slot, entry)) channel = FChannels.back().get();
      for (std::size_t i = 0; i < FChannels.size(); ++i)
        if (FChannels[i].get() == channel) Drop(i, WatchNewsKind::Detached);
      try {
        TIPCEvent(PrivateClientEventName(entry.ClientID), false).SignalID(evMonitorDetach, entry.ClientID);
      } catch (const EKqError&) {
      }
      static_cast<void>(FTable.Free(slot, entry.ClientID, ChannelSlotState::Leaving));
    }
  }
  // Channels whose slot was freed or taken by another client: the client went back to the shared
  // objects' rules (another monitor asked for it, or its ring failed).
  for (std::size_t i = FChannels.size(); i-- > 0;) {
    if (FChannels[i]->Closing) continue;
    const ChannelSlot entry = FTable.Slot(FChannels[i]->Slot);
    if (entry.State == ChannelSlotState::Free || entry.ClientID != FChannels[i]->ID) Drop(i, WatchNewsKind::Detached);
  }
  if (!lookForDeath) return;
  for (std::size_t i = FChannels.size(); i-- > 0;) {
    if (FChannels[i]->Closing) continue;
    const std::int32_t id = FChannels[i]->ID;
    if (!FChannels[i]->Holder) FChannels[i]->Holder = Directory().ClientHolder(id);
    const std::optional<LivenessHolder>& holder = FChannels[i]->Holder;
    if (!holder || !DirectoryLiveness::ClientGone(id, *holder)) continue;
    const std::int32_t slot = FChannels[i]->Slot;
    Drop(i, WatchNewsKind::Ended);
    static_cast<void>(FTable.Free(slot, id, ChannelSlotState::Published));
  }
}

void MultiWatch::HandleShared(const MonitorMessage& message) {
  if (!FSharedID || FSharedLeft || message.ClientID != *FSharedID) {
    // A client announcing itself may be one that knows only the shared objects.
    if (message.News == MonitorNews::ClientStarted) FNextSharedLook = 0;
    return;
  }
  // The shared record keeps its last news, which our clients' doorbells wake us to again: only a
  // client that is no longer attached has left.
  if ((message.News == MonitorNews::ClientDetached || message.News == MonitorNews::ClientEnded) &&
      !FShared.Attached()) {
    FSharedLeft = true;
    FNewsList.push_back(
        {message.News == MonitorNews::ClientEnded ? WatchNewsKind::Ended : WatchNewsKind::Detached, *FSharedID, false});
  }
}

void MultiWatch::AttachShared() {
  if (!FAttachShared || FSharedID || NowMs() < FNextSharedLook) return;
  // Records of a channel left behind go first; the attach empties the shared ring.
  FNextSharedLook = NowMs() + SharedLookMs;
  const std::int64_t now = NowMs();
  std::erase_if(FRefused, [&](const auto& refused) { return refused.second <= now; });
  TClientDirectory& directory = FShared.Directory();
  for (std::int32_t position = 1; position <= directory.Count(); ++position) {
    std::int32_t id = 0;
    try {
      id = directory.GetClientRec(position).ID;
    } catch (const EKqError&) {
      break;
    }
    // Ours carry a liveness object and come on private channels.
    if (directory.ClientOwned(id) || Find(id)) continue;
    if (std::any_of(FRefused.begin(), FRefused.end(), [&](const auto& refused) { return refused.first == id; }))
      continue;
    // The shared record may still hold an earlier client's news, which the attach would take for
    // this one's answer; no client sends this kind.
    FNews.SetID(0);
    FNews.SetKind(evMonitorExit);
    if (FShared.Attach(id, SharedAttachTimeOut)) {
      FSharedID = id;
      Account(id, false).RingSize = FShared.Buffer() ? FShared.Buffer()->BufSize() : 0;
      FNewsList.push_back({WatchNewsKind::Attached, id, false});
    } else {
      FRefused.emplace_back(id, now + RefusedForMs);
    }
    return;
  }
}

bool MultiWatch::AnyWaiting() const noexcept {
  for (const auto& channel : FChannels)
    if (channel->Reader->HasNewer(channel->LastRefNo)) return true;
  return false;
}

bool MultiWatch::WatchForRecords() noexcept {
  // As the single-client monitor does: records that stream in keep the watch awake and every client
  // free of wake-up calls; a watch that ends unrewarded halves the next, down to none, so that a quiet
  // watch costs nothing, and records found waiting bring it back.
  if (FChannels.empty()) return false;
  if (FWatchUs == 0) return false;
  const auto watchEnd = std::chrono::steady_clock::now() + std::chrono::microseconds(FWatchUs);
  for (int i = 1;; ++i) {
    if (AnyWaiting()) {
      FWatchUs = MaxWatchUs;
      return true;
    }
    if (i % 16 == 0 && std::chrono::steady_clock::now() >= watchEnd) break;
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
  FWatchUs /= 2;
  return false;
}

void MultiWatch::Poll(std::int32_t timeOutMs) {
  const bool deathDue = NowMs() >= FNextDeathLook;
  if (deathDue) FNextDeathLook = NowMs() + DeathLookMs;
  HandleShared(FShared.Poll(0));
  Scan(deathDue);
  AttachShared();
  if (AnyWaiting()) {
    FWatchUs = MaxWatchUs;
    return;
  }
  if (WatchForRecords()) return;
  // Our clients left their signals out while we said we were awake: after taking the announcement
  // back, every ring is looked at once more (the shared one by Poll) before the sleep.
  if (timeOutMs != 0) {
    FShared.AnnounceAsleep();
    if (AnyWaiting()) {
      FShared.AnnounceAwake();
      FWatchUs = MaxWatchUs;
      return;
    }
  }
  // The doorbell: every client's signal sets the shared monitor event, ours without its record.
  HandleShared(FShared.Poll(timeOutMs));
  Scan(false);
}

void MultiWatch::ReadNew(const std::function<void(std::int32_t clientID, const TraceLineView&)>& fn) {
  // What a reallocation read from the old ring comes first (counted already).
  for (const HeldRecord& held : FHeld) {
    const TraceLine& line = held.Line;
    fn(held.ClientID, TraceLineView{line.Gap, line.RefNo, line.Missing, line.Time, line.Cut, line.Text,
                                    held.Payload.empty() ? nullptr : held.Payload.data(),
                                    static_cast<std::int32_t>(held.Payload.size())});
  }
  FHeld.clear();
  // Every ring spools to the watch's path; a path that turned bad is taken back from all of them.
  FShared.CheckSpool();
  if (std::u16string spool = FShared.ActiveSpoolFile(); spool != FAppliedSpool) {
    FAppliedSpool = std::move(spool);
    for (const auto& channel : FChannels)
      if (channel->Ring) channel->Ring->SetSpoolFile(FAppliedSpool);
  }
  ReadShared(&fn);
  for (std::size_t i = 0; i < FChannels.size();) {
    Channel& channel = *FChannels[i];
    if (!channel.Closing) {
      ReadChannel(channel, &fn);
      ++i;
      continue;
    }
    ReadRest(channel, &fn);
    FChannels.erase(FChannels.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

std::vector<WatchNews> MultiWatch::TakeNews() {
  std::vector<WatchNews> news;
  news.swap(FNewsList);
  return news;
}

std::vector<WatchedClient> MultiWatch::Clients() const {
  std::vector<WatchedClient> clients;
  for (const auto& account : FAccounts) {
    const bool watched = account.Private ? std::any_of(FChannels.begin(), FChannels.end(),
                                                       [&](const auto& c) { return c->ID == account.ID; })
                                         : FSharedID == account.ID;
    if (watched) clients.push_back(account);
  }
  return clients;
}

std::optional<WatchedClient> MultiWatch::Accounting(std::int32_t clientID) const {
  std::optional<WatchedClient> found;
  for (const auto& account : FAccounts)
    if (account.ID == clientID) {
      if (!found) {
        found = account;
      } else {  // met on both paths: the sums
        found->Records += account.Records;
        found->Missing += account.Missing;
        found->GapRuns += account.GapRuns;
      }
    }
  return found;
}

bool MultiWatch::SendSignal(std::int32_t clientID, std::int32_t value) noexcept {
  if (Channel* channel = Find(clientID)) {
    channel->ToClient->SignalData(evMonitorSignal, clientID, value);
    return true;
  }
  if (FSharedID == clientID) {
    FShared.SendSignal(clientID, value);
    return true;
  }
  return false;
}

bool MultiWatch::Detach(std::int32_t clientID, std::int32_t timeOutMs) {
  for (std::size_t i = 0; i < FChannels.size(); ++i) {
    Channel& channel = *FChannels[i];
    if (channel.ID != clientID || channel.Closing) continue;
    channel.ToClient->SignalID(evMonitorDetach, clientID);
    const bool answered = AwaitAnswer(*channel.FromClient, clientID, evClientDetach, timeOutMs);
    Drop(i, WatchNewsKind::Detached);
    return answered;
  }
  if (FSharedID == clientID && !FSharedLeft) {
    // Monitor::Detach reads what is left into lines of its own: they are counted and handed on at
    // the next ReadNew through these.
    FDetachedLines = FShared.Detach(timeOutMs);
    FSharedLeft = true;
    FNewsList.push_back({WatchNewsKind::Detached, clientID, false});
    return true;
  }
  return false;
}

bool MultiWatch::Reallocate(std::int32_t clientID, std::int32_t bytes, std::int32_t timeOutMs) {
  Channel* channel = Find(clientID);
  if (!channel) return FSharedID == clientID && FShared.Reallocate(bytes, timeOutMs);
  channel->ToClient->SignalData(evClientBufFree, clientID, bytes);
  if (!AwaitAnswer(*channel->FromClient, clientID, evClientBufFree, timeOutMs)) return false;
  // The client let go of its ring; what it held is read before ours goes, so that the new ring (a new
  // section, numbered from 1 again) starts with nothing left over.
  const std::function<void(std::int32_t, const TraceLineView&)> keep = [&](std::int32_t id, const TraceLineView& line) {
    std::vector<unsigned char> payload;
    if (line.Payload && line.PayloadBytes > 0) payload.assign(line.Payload, line.Payload + line.PayloadBytes);
    FHeld.push_back(
        {id,
         TraceLine{line.Gap, line.RefNo, line.Missing, line.Time, line.Cut, std::u16string(line.Text), line.Outcome()},
         std::move(payload)});
  };
  ReadRest(*channel, &keep);
  channel->Reader.reset();
  channel->Ring.reset();
  try {
    channel->Ring = std::make_unique<TIPCBuffer>(PrivateRingName(clientID), RoundedRing(bytes), KqBufferBlocks);
  } catch (const EKqError&) {
    for (std::size_t i = 0; i < FChannels.size(); ++i)
      if (FChannels[i].get() == channel) FChannels.erase(FChannels.begin() + static_cast<std::ptrdiff_t>(i));
    FNewsList.push_back({WatchNewsKind::Detached, clientID, true});
    return false;
  }
  channel->Ring->SetUseRefNo(FUseRefNo);
  channel->Ring->SetUseTime(FUseTime);
  channel->Ring->SetSpoolFile(FAppliedSpool);
  channel->Reader = std::make_unique<BufferReader>(*channel->Ring);
  channel->LastRefNo = 0;
  channel->ToClient->SignalID(evClientBufAlloc, clientID);
  const bool answered = AwaitAnswer(*channel->FromClient, clientID, evClientBufAlloc, timeOutMs);
  // The client's new publication is our own doing: no rejoin.
  channel->Generation = FTable.Slot(channel->Slot).Generation;
  Account(clientID, true).RingSize = channel->Ring->BufSize();
  return answered;
}

std::int32_t MultiWatch::UnusedID() {
  std::int32_t id = -1;
  while (FShared.Directory().FindClient(id) != -1) --id;
  return id;
}

void MultiWatch::Ping() {
  const std::int32_t pingID = UnusedID();
  for (auto& channel : FChannels) {
    FShared.Directory().ClearAlive(channel->ID);
    channel->ToClient->SignalID(evClientPing, pingID);
  }
  FShared.Ping(true);
}

}  // namespace kq
