#include "lookup/IpCheck.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>

#include "app/Include.h"
#include "app/Ui.h"
#include "lookup/LookupPool.h"
#include "lookup/RecordEdit.h"
#include "store/api/StoreTb.h"

namespace quellor {

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kFinished = "Finished IP check";

std::string FailedText(int failed) {
  return failed == 1 ? "The host lookup of 1 site failed; that site was left as it was."
                     : "The host lookups of " + std::to_string(failed) +
                           " sites failed; those sites were left as they were.";
}

void Finish(Ui& ui, const TIpCheckResult& result) {
  if (result.failed > 0)
    ui.MessageBox(FailedText(result.failed), "Quellor", MbButtons::Ok, MbIcon::Warning);
  // What the walk did, so that the person need not look through the sites.
  ui.ShowMessage(std::string(kFinished) + ": " + std::to_string(result.checked) + " checked, " +
                 std::to_string(result.changed) + " changed, " + std::to_string(result.failed) +
                 " not found");
}

// The sites of the rest of the view: from the current record (counted) to the last one.
int RestOfView(TStoreTable& sites) {
  if (sites.IsEmpty()) return 0;
  int count = sites.RecordCount();
  int position = sites.RecNo();
  return position > 0 ? count - position + 1 : count;
}

// A second cursor on the site table, with the same view and order, that runs ahead of the walk
// and names the hosts the walk will look up next. It is only a hint: the walk matches answers to
// the sites it actually reaches by host, and realigns the cursor when they differ (a record filter
// this cursor cannot copy, another program's change). Any error of its own turns it off.
class TReadAhead {
 public:
  explicit TReadAhead(TStoreTable& sites) {
    try {
      cursor_.SetDatabaseName(sites.DatabaseName());
      cursor_.SetTableName(sites.TableName());
      cursor_.SetReadOnly(true);
      if (!sites.IndexFieldNames().empty()) {
        cursor_.SetIndexFieldNames(sites.IndexFieldNames());
      } else {
        cursor_.SetIndexName(sites.IndexName());
      }
      cursor_.SetFilterOptions(sites.FilterOptions());
      cursor_.SetFilter(sites.Filter());
      cursor_.SetFiltered(sites.Filtered());
      cursor_.Open();
      ok_ = true;
      Align(sites, /*includeCurrent=*/true);
    } catch (const std::exception&) {
      ok_ = false;
    }
  }

  // Puts the cursor on the walk's current record; its host comes next when `includeCurrent`.
  void Align(TStoreTable& sites, bool includeCurrent) {
    if (!ok_) return;
    try {
      TBookmark mark = sites.GetBookmark();
      if (!mark.Valid()) {
        ok_ = false;
        return;
      }
      cursor_.GotoBookmark(mark);
      pendingCurrent_ = includeCurrent;
    } catch (const std::exception&) {
      ok_ = false;
    }
  }

  // The host of the next site ahead that has an address; nullopt at the end of the view.
  std::optional<std::string> NextHost() {
    if (!ok_) return std::nullopt;
    try {
      for (;;) {
        if (pendingCurrent_) {
          pendingCurrent_ = false;
        } else {
          cursor_.Next();
          if (cursor_.Eof()) {
            ok_ = false;
            return std::nullopt;
          }
        }
        if (!TrimControl(cursor_.FieldByName("IPAddr").AsString()).empty())
          return HostFromUrl(cursor_.FieldByName("Url").AsString());
      }
    } catch (const std::exception&) {
      ok_ = false;
      return std::nullopt;
    }
  }

 private:
  TStoreTable cursor_;
  bool ok_ = false;
  bool pendingCurrent_ = false;
};

// Answers of the sites ahead, in walk order per host.
class TPrefetch {
 public:
  TPrefetch(TLookupPool& pool, TReadAhead& ahead, const TIpCheckOptions& options)
      : pool_(pool),
        ahead_(ahead),
        inFlight_(std::max(1, options.inFlight)),
        window_(2 * std::max(1, options.inFlight)) {}

  // Starts lookups of the sites ahead while fewer than inFlight are open and fewer than
  // window answers wait to be taken.
  void Refill() {
    while (waiting_ < window_ && pool_.Open() < inFlight_) {
      std::optional<std::string> host = ahead_.NextHost();
      if (!host) return;
      byHost_[*host].push_back(pool_.Start(*host));
      ++waiting_;
    }
  }

  // The lookup of the walk's current site, whose host is `host`. When the sites ahead were not
  // the ones the walk reached, they are dropped and the cursor ahead starts again after it.
  TLookupPool::TTicket Take(const std::string& host, TStoreTable& sites) {
    auto it = byHost_.find(host);
    if (it != byHost_.end()) {
      TLookupPool::TTicket ticket = it->second.front();
      it->second.pop_front();
      if (it->second.empty()) byHost_.erase(it);
      --waiting_;
      return ticket;
    }
    for (auto& [name, tickets] : byHost_)
      for (auto& ticket : tickets) pool_.Drop(ticket);
    byHost_.clear();
    waiting_ = 0;
    ahead_.Align(sites, /*includeCurrent=*/false);
    return pool_.Start(host);
  }

 private:
  TLookupPool& pool_;
  TReadAhead& ahead_;
  int inFlight_;
  int window_;
  int waiting_ = 0;
  std::map<std::string, std::deque<TLookupPool::TTicket>> byHost_;
};

std::string ProgressText(const TIpCheckResult& r, int total) {
  std::string text = std::to_string(r.checked) + " of " + std::to_string(total) +
                     " sites checked, " + std::to_string(r.changed) +
                     (r.changed == 1 ? " address changed" : " addresses changed");
  if (r.failed > 0)
    text +=
        ", " + std::to_string(r.failed) + (r.failed == 1 ? " lookup failed" : " lookups failed");
  return text;
}

}  // namespace

std::string TrimControl(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

TSiteCheck CheckSiteIP(TStoreTable& sites, const std::string& url, const std::string& shownIp,
                       const std::shared_ptr<THostResolver>& resolver,
                       std::chrono::milliseconds timeout) {
  TSiteCheck check;
  check.host = HostFromUrl(url);
  TResolveAnswer answer = LookUpHost(resolver, check.host, timeout);
  switch (answer.kind) {
    case TResolveAnswer::Kind::NotFound:
      check.outcome = TIpOutcome::NotFound;
      return check;
    case TResolveAnswer::Kind::Failed:
      check.outcome = TIpOutcome::Failed;
      check.reason = answer.reason;
      return check;
    case TResolveAnswer::Kind::Found:
      break;
  }
  check.address = answer.address;
  if (answer.address == TrimControl(shownIp)) {
    check.outcome = TIpOutcome::Unchanged;
    return check;
  }
  ChangeRecord(sites, [&] { sites.FieldByName("IPAddr").SetAsString(answer.address); });
  check.outcome = TIpOutcome::Changed;
  return check;
}

void GetIP(TStoreTable& sites, const std::string& urlText, const std::string& ipText,
           const std::shared_ptr<THostResolver>& resolver, Ui& ui,
           std::chrono::milliseconds timeout) {
  TSiteCheck check;
  {
    BusyCursor busy(ui);
    check = CheckSiteIP(sites, urlText, ipText, resolver, timeout);
  }
  switch (check.outcome) {
    case TIpOutcome::Changed:
      ui.ShowMessage("IP has changed!");
      break;
    case TIpOutcome::NotFound:
      ui.ShowMessage("IP not found.");
      break;
    case TIpOutcome::Failed:
      throw std::runtime_error("The address of '" + check.host +
                               "' could not be looked up: " + check.reason);
    case TIpOutcome::Unchanged:
      break;
  }
}

TIpCheckResult CheckIPs(TStoreTable& sites, const std::shared_ptr<THostResolver>& resolver, Ui& ui,
                        const TIpCheckOptions& options) {
  TIpCheckResult result;
  {
    BusyCursor busy(ui);
    const int total = RestOfView(sites);
    ProgressScope progress(ui, "Check IPs", total);
    TLookupPool pool(resolver, {options.maxThreads, options.timeout});
    TReadAhead ahead(sites);
    TPrefetch prefetch(pool, ahead, options);
    Clock::time_point lastStep{};
    // Shows the progress (at most every 50 ms unless `now`) and handles the window's events;
    // true once the person has pressed Cancel.
    auto step = [&](bool now) {
      auto time = Clock::now();
      if (!now && time - lastStep < std::chrono::milliseconds(50)) return false;
      lastStep = time;
      return progress.Step(result.checked, ProgressText(result, total));
    };

    while (!sites.IsEmpty()) {
      prefetch.Refill();
      std::string ip = TrimControl(sites.FieldByName("IPAddr").AsString());
      if (!ip.empty()) {
        const TBookmark mark = sites.GetBookmark();
        const std::string url = sites.FieldByName("Url").AsString();
        TLookupPool::TTicket ticket = prefetch.Take(HostFromUrl(url), sites);
        std::optional<TResolveAnswer> answer;
        while (!(answer = pool.Wait(ticket, std::chrono::milliseconds(20)))) {
          prefetch.Refill();
          if (step(true)) {
            result.cancelled = true;
            return result;
          }
        }
        // Events were handled while waiting: if the current record is not the one looked up
        // any more, the walk goes on from where it is now.
        const TBookmark now = sites.GetBookmark();
        if (now.slot != mark.slot || now.logicalId != mark.logicalId ||
            sites.FieldByName("Url").AsString() != url)
          continue;
        ip = TrimControl(sites.FieldByName("IPAddr").AsString());
        if (ip.empty()) answer = TResolveAnswer::NotFound();  // emptied meanwhile: skipped
        switch (answer->kind) {
          case TResolveAnswer::Kind::Found:
            if (answer->address != ip) {
              ChangeRecord(sites, [&] {
                sites.FieldByName("IPAddr").SetAsString(answer->address);
                sites.FieldByName("IPChanged").SetAsBoolean(true);
              });
              ++result.changed;
            }
            break;
          case TResolveAnswer::Kind::Failed:
            ++result.failed;
            break;
          case TResolveAnswer::Kind::NotFound:
            break;
        }
      }
      ++result.checked;
      sites.Next();
      if (sites.Eof()) break;
      if (step(false)) {
        result.cancelled = true;
        return result;
      }
    }
    step(true);
  }
  Finish(ui, result);
  return result;
}

TIpCheckResult CheckIPsInOrder(TStoreTable& sites, const std::shared_ptr<THostResolver>& resolver,
                               Ui& ui, std::chrono::milliseconds timeout) {
  TIpCheckResult result;
  {
    BusyCursor busy(ui);
    while (!sites.IsEmpty()) {
      std::string ip = sites.FieldByName("IPAddr").AsString();
      if (!TrimControl(ip).empty()) {
        TSiteCheck check =
            CheckSiteIP(sites, sites.FieldByName("Url").AsString(), ip, resolver, timeout);
        ui.ProcessEvents();
        if (check.outcome == TIpOutcome::Changed) {
          ChangeRecord(sites, [&] { sites.FieldByName("IPChanged").SetAsBoolean(true); });
          ++result.changed;
        }
        if (check.outcome == TIpOutcome::Failed) ++result.failed;
      }
      ++result.checked;
      sites.Next();
      if (sites.Eof()) break;
    }
  }
  Finish(ui, result);
  return result;
}

}  // namespace quellor
