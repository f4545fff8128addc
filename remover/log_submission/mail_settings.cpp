#include "remover/log_submission/mail_settings.hpp"

#if !defined(ZENQO_MAIL_HOST) || !defined(ZENQO_SUPPORT_ADDRESS)
#error "ZENQO_MAIL_HOST and ZENQO_SUPPORT_ADDRESS come from the build"
#endif

namespace remover {

const char* mail_host() { return ZENQO_MAIL_HOST; }
const char* support_address() { return ZENQO_SUPPORT_ADDRESS; }

}  // namespace remover
