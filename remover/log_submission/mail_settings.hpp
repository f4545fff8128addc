#pragma once
// Where submitted logs go. Each program is built with its own values (see
// remover/CMakeLists.txt): the release programs mail the maker's server, the
// end-to-end tests' copies a server on the loopback.

namespace remover {

// The SMTP server's host name or IPv4 address; the port is always 25.
const char* mail_host();
// The support mailbox: envelope recipient and the address in "To".
const char* support_address();

}  // namespace remover
