// The host-name resolver behind "Get IP" and "Check IPs": a host name in, the first IPv4 address
// of the host out, in dotted-decimal form, or the answer that the host is not known.
//
// THostResolver is the narrow interface the lookups are written against; the program uses
// TSystemResolver (the system's resolver through getaddrinfo, IPv4 only, first address), and
// tests put a scripted resolver in its place. LookUpHost is the one way the program asks: it
// refuses names no resolver could know before asking, and bounds the time a lookup may take.
#pragma once

#include <chrono>
#include <memory>
#include <string>

struct addrinfo;

namespace quellor {

// The answer text for a host the resolver does not know.
inline constexpr const char* kNotFound = "NotFound";

// How long one lookup may take before it counts as failed ("timed out"). With the usual
// settings (one or two name servers, 5 s a try, two tries) the system resolver gives up on its
// own within that time.
inline constexpr std::chrono::milliseconds kLookupTimeout{20000};

struct TResolveAnswer {
  enum class Kind {
    Found,     // `address` holds the first IPv4 address, dotted (at most 15 characters)
    NotFound,  // the resolver does not know the host (or the name is not a host name)
    Failed,    // the resolver could not answer: `reason` says why; nothing is known of the host
  };
  Kind kind = Kind::NotFound;
  std::string address;
  std::string reason;

  static TResolveAnswer Found(std::string address) { return {Kind::Found, std::move(address), {}}; }
  static TResolveAnswer NotFound() { return {Kind::NotFound, {}, {}}; }
  static TResolveAnswer Failed(std::string reason) { return {Kind::Failed, {}, std::move(reason)}; }
  bool operator==(const TResolveAnswer&) const = default;
};

class THostResolver {
 public:
  virtual ~THostResolver() = default;
  // Resolves `host`. REQUIRES: safe to call from several threads at once; the lookups run on
  // worker threads. It may block; LookUpHost and the IP check bound how long they wait.
  virtual TResolveAnswer Resolve(const std::string& host) = 0;
};

// The system's resolver: getaddrinfo for IPv4 addresses (hosts file, DNS, as the system is set
// up), the first address of the answer. Names the system does not know are NotFound; a resolver
// that cannot answer now (no name server reachable, out of memory) is Failed with the system's
// message.
class TSystemResolver : public THostResolver {
 public:
  TResolveAnswer Resolve(const std::string& host) override;
};

// The first IPv4 address of a getaddrinfo answer list, dotted; empty when it holds none.
std::string FirstIPv4(const addrinfo* list);

// The resolver the program uses; one instance for the whole run.
std::shared_ptr<THostResolver> SystemResolver();

// Whether `host` can be a host name at all: 1 to 253 characters (one more for a final dot),
// labels of at most 63, printable ASCII without blanks. Anything else (empty, control bytes,
// NUL, blanks, bytes above 127, overlong) is answered NotFound without asking any resolver.
bool IsHostName(const std::string& host);

// Asks `resolver` about `host` on a worker thread and waits at most `timeout` for the answer;
// later it is Failed ("timed out"). Hosts that are no host names (IsHostName) are NotFound at
// once. A resolver that throws is Failed with the error's text.
TResolveAnswer LookUpHost(const std::shared_ptr<THostResolver>& resolver, const std::string& host,
                          std::chrono::milliseconds timeout = kLookupTimeout);

// The dotted address of `host` through the system resolver, or "NotFound" when it is not known
// or the lookup failed.
std::string ResolveHost(const std::string& host);

}  // namespace quellor
