// The IP check of sites: the host of a site's Url is resolved to its first IPv4 address, a new
// address is stored in the site's IPAddr and, by "Check IPs", flagged in IPChanged.
//
//   CheckSiteIP  one site: resolve, compare with the address shown, store a different one
//   GetIP        the "Get IP" command on the current site (says "IP has changed!" or
//                "IP not found."; never touches IPChanged)
//   CheckIPs     the "Check IPs" command: every site of the view from the current one to the
//                end, with the lookups of the next sites running ahead on worker threads
//   CheckIPsInOrder  the same walk with one blocking lookup after the other; the reference the
//                concurrent walk is tested and measured against
//
// Threads: only the lookups run on worker threads (LookupPool.h). Every read and change of the
// site table, every call of the Ui and every decision happens on the calling (user-interface)
// thread, site by site in walk order, so the table ends exactly as after the plain walk.
//
// Sites whose IPAddr is empty (blanks and control characters aside) are skipped: the check
// never fills in an address a site never had. An answer is stored only when it is an address
// different from the stored one; a host the resolver does not know, or a lookup that failed or
// timed out, writes nothing. A changed site gets its new IPAddr and IPChanged = True in one
// edit and one post, so no site is ever left with a new address but without its flag.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "lookup/HostResolver.h"

namespace quellor {

class TStoreTable;
class Ui;

// Outcome of a site check (the byte codes are those the outcomes have always had).
enum class TIpOutcome : uint8_t { Unchanged = 0, Changed = 1, Failed = 2, NotFound = 255 };

struct TSiteCheck {
  TIpOutcome outcome = TIpOutcome::NotFound;
  std::string host;     // the host that was looked up
  std::string address;  // the answer when one was found
  std::string reason;   // why the lookup failed (Failed)
};

// `text` without blanks and control characters (bytes up to 32) at either end.
std::string TrimControl(const std::string& text);

// Resolves HostFromUrl(url) and compares the answer, exactly, with `shownIp` (trimmed as
// TrimControl). On a difference the current record of `sites` is put into edit state, IPAddr set
// to the answer and the record posted (a pending edit of the record is posted with it).
// REQUIRES: `sites` is open; on Changed it has a current record.
TSiteCheck CheckSiteIP(TStoreTable& sites, const std::string& url, const std::string& shownIp,
                       const std::shared_ptr<THostResolver>& resolver,
                       std::chrono::milliseconds timeout = kLookupTimeout);

// "Get IP": CheckSiteIP on the texts of the Url and IP boxes, under the busy cursor. Changed:
// "IP has changed!"; not found: "IP not found."; unchanged: nothing. A failed lookup raises an
// error naming the host and the reason; nothing is written then.
void GetIP(TStoreTable& sites, const std::string& urlText, const std::string& ipText,
           const std::shared_ptr<THostResolver>& resolver, Ui& ui,
           std::chrono::milliseconds timeout = kLookupTimeout);

struct TIpCheckOptions {
  int inFlight = 64;     // lookups running ahead of the walk at most
  int maxThreads = 128;  // lookup threads alive at most, including abandoned (hanging) ones
  std::chrono::milliseconds timeout = kLookupTimeout;  // per lookup
};

struct TIpCheckResult {
  int checked = 0;  // sites of the view passed by the walk (those skipped for no address too)
  int changed = 0;  // sites whose address changed
  int failed = 0;   // lookups that failed or timed out
  bool cancelled = false;
};

// "Check IPs": walks `sites` from its current record to the end of its view, under the busy
// cursor and a progress window ("Check IPs", sites checked of the sites in the rest of the view,
// addresses changed) whose Cancel stops the walk before the next site is changed. At the end:
// a warning when lookups failed, then "Finished IP check: <n> checked, <m> changed, <k> not
// found" (the sites passed, the addresses changed, the lookups that failed). An error of the table
// (a record another user has locked) ends the walk with that error; the sites before it keep their
// changes and "Finished IP check" is not shown. Cancelled: nothing is shown, and the table
// stands on the first site not checked. Otherwise it stands on the last site of the view.
TIpCheckResult CheckIPs(TStoreTable& sites, const std::shared_ptr<THostResolver>& resolver, Ui& ui,
                        const TIpCheckOptions& options = {});

// The same walk with one lookup after the other: CheckSiteIP on each site, the window's pending
// events, then IPChanged = True in a second edit when the address changed. No progress window.
TIpCheckResult CheckIPsInOrder(TStoreTable& sites, const std::shared_ptr<THostResolver>& resolver,
                               Ui& ui, std::chrono::milliseconds timeout = kLookupTimeout);

}  // namespace quellor
