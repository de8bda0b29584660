#include "lookup/HostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "lookup/LookupPool.h"

namespace quellor {

TResolveAnswer TSystemResolver::Resolve(const std::string& host) {
  // getaddrinfo reads a C string: a name with a NUL inside would be cut and another host asked.
  if (!IsHostName(host)) return TResolveAnswer::NotFound();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    switch (rc) {
      case EAI_NONAME:
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
#endif
        return TResolveAnswer::NotFound();
      default:
        return TResolveAnswer::Failed(::gai_strerror(rc));
    }
  }
  std::string first = FirstIPv4(list);
  ::freeaddrinfo(list);
  return first.empty() ? TResolveAnswer::NotFound() : TResolveAnswer::Found(first);
}

std::string FirstIPv4(const addrinfo* list) {
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) return text;
    return {};
  }
  return {};
}

std::shared_ptr<THostResolver> SystemResolver() {
  static const std::shared_ptr<THostResolver> resolver = std::make_shared<TSystemResolver>();
  return resolver;
}

bool IsHostName(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return false;
  size_t label = 0;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return false;
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (++label > 63) {
      return false;
    }
  }
  return true;
}

TResolveAnswer LookUpHost(const std::shared_ptr<THostResolver>& resolver, const std::string& host,
                          std::chrono::milliseconds timeout) {
  TLookupPool pool(resolver, {1, timeout});
  TLookupPool::TTicket ticket = pool.Start(host);
  for (;;) {
    if (auto answer = pool.Wait(ticket, timeout)) return *answer;
  }
}

std::string ResolveHost(const std::string& host) {
  TResolveAnswer answer = LookUpHost(SystemResolver(), host);
  return answer.kind == TResolveAnswer::Kind::Found ? answer.address : kNotFound;
}

}  // namespace quellor
