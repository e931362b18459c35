#pragma once
// The machine's IPv6 side for publishing: its global address, the address
// test for an echo answer, and the echo request over IPv6 itself.
//
// The socket stack of this layer speaks IPv4 only (its addresses are dotted
// text throughout), so the echo over IPv6 is a request of its own: one
// plain-HTTP GET on an IPv6 socket, bounded in time and size. It blocks its
// caller; run it on a thread of your own.

#include <atomic>
#include <chrono>
#include <string>

// True for a global unicast address (2000::/3) as text: never loopback,
// unspecified, IPv4-mapped, link-local, unique-local (fc00::/7) or multicast.
bool IsPublicIPv6(const std::string& text);

// The address field of an echo answer (IPv4 or IPv6): the text after
// "Address:" and its blank up to the next "<", trimmed; "" without one.
std::string EchoAnswerAddressField(const std::string& body);

// The address in an echo answer given over IPv6: its address field when
// that is a public IPv6 address, in its compressed form ("2001:db8::7"); ""
// otherwise.
std::string PublicIPv6FromEchoAnswer(const std::string& body);

// This machine's global IPv6 address ("" without one): a stable address is
// preferred to a temporary (privacy) one, and an address still being
// checked for duplicates or deprecated is not used.
std::string GlobalIPv6Address();

// The body of a whole HTTP/1.x reply (head, empty line, body up to the
// close) when its status is 2xx and the body holds at most `limit` bytes;
// raises ENetException naming `url` otherwise.
std::string BodyOfHttpReply(const std::string& reply, const std::string& url, size_t limit);

// GET of an "http://host[:port]/path" URL over IPv6 only (host: a name with
// an IPv6 address, or "[address]"). Answers the body of a 2xx reply of at
// most `limit` bytes; raises ENetException with the reason otherwise. Gives
// up when `timeout` has passed or `*cancel` becomes true.
std::string HttpGetOverIPv6(const std::string& url, std::chrono::milliseconds timeout, size_t limit,
                            const std::atomic<bool>* cancel = nullptr);
