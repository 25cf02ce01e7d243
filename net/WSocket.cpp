// Partial: the full implementation follows.
#include "net/WSocket.h"

namespace orvane::net {

namespace {
[[noreturn]] void NotYet() {
  throw ESocketException("not implemented yet");
}
}  // namespace

struct TWSocket::Lookup {};

TWSocket::TWSocket(EventLoop& loop) : loop_(loop), life_(std::make_shared<int>(0)) {}
TWSocket::~TWSocket() = default;
void TWSocket::SetAddr(const std::string&) {
  NotYet();
}
void TWSocket::SetPort(const std::string&) {
  NotYet();
}
void TWSocket::SetProto(const std::string&) {
  NotYet();
}
void TWSocket::SetLocalPort(const std::string&) {
  NotYet();
}
int TWSocket::Rcvdcount() {
  NotYet();
}
int TWSocket::GetRcvdCount() {
  NotYet();
}
TSocketSendFlags TWSocket::SendFlags() const {
  NotYet();
}
void TWSocket::SetSendFlags(TSocketSendFlags) {
  NotYet();
}
void TWSocket::SetSocksLevel(const std::string&) {
  NotYet();
}
void TWSocket::SetSocksServer(const std::string&) {
  NotYet();
}
void TWSocket::SetSocksPort(const std::string&) {
  NotYet();
}
void TWSocket::SetSocksUsercode(const std::string&) {
  NotYet();
}
void TWSocket::SetSocksPassword(const std::string&) {
  NotYet();
}
void TWSocket::SetSocksAuthentication(TSocksAuthentication) {
  NotYet();
}
void TWSocket::SetLineMode(bool) {
  NotYet();
}
void TWSocket::SetLineEnd(const std::string&) {
  NotYet();
}
void TWSocket::Connect() {
  NotYet();
}
int TWSocket::Send(const void*, int) {
  NotYet();
}
int TWSocket::SendStr(std::string_view) {
  NotYet();
}
int TWSocket::Receive(void*, int) {
  NotYet();
}
std::string TWSocket::ReceiveStr() {
  NotYet();
}
int TWSocket::ReceiveFrom(void*, int, sockaddr_in&, socklen_t&) {
  NotYet();
}
int TWSocket::SendTo(const sockaddr_in&, socklen_t, const void*, int) {
  NotYet();
}
void TWSocket::DnsLookup(const std::string&) {
  NotYet();
}
void TWSocket::ReverseDnsLookup(const std::string&) {
  NotYet();
}
void TWSocket::CancelDnsLookup() {
  NotYet();
}
void TWSocket::Close() {
  NotYet();
}
void TWSocket::Abort() {
  NotYet();
}
void TWSocket::Flush() {
  NotYet();
}
void TWSocket::WaitForClose() {
  NotYet();
}
void TWSocket::Shutdown(int) {
  NotYet();
}
void TWSocket::Pause() {
  NotYet();
}
void TWSocket::Resume() {
  NotYet();
}
std::string TWSocket::GetPeerAddr() {
  NotYet();
}
int TWSocket::GetPeerName(sockaddr_in&, socklen_t&) {
  NotYet();
}
int TWSocket::GetSockName(sockaddr_in&, socklen_t&) {
  NotYet();
}
std::string TWSocket::GetXPort() {
  NotYet();
}
void TWSocket::Listen() {
  NotYet();
}
int TWSocket::Accept() {
  NotYet();
}
void TWSocket::Dup(int) {
  NotYet();
}
void TWSocket::AssignDefaultValue() {
  NotYet();
}

in_addr WSocketResolveHost(const std::string&) {
  NotYet();
}
std::uint16_t WSocketResolvePort(const std::string&, const std::string&) {
  NotYet();
}
int WSocketResolveProto(const std::string&) {
  NotYet();
}
std::string LocalHostName() {
  NotYet();
}
std::string WSocketErrorMessage(int, const std::string&) {
  NotYet();
}

}  // namespace orvane::net
