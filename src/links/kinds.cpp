// The one place that knows every link kind: adding a kind adds a line here
// and touches nothing in core/.
#include "links/kinds.h"

#include "links/modem/modem_link.h"
#include "links/sdk/sdk_link.h"
#include "links/smpp/smpp_link.h"
#include "links/ucp_cimd/ucp_cimd_link.h"

namespace links {

void register_link_kinds() {
    register_smpp_link_kind();
    register_ucp_cimd_link_kinds();
    register_sdk_link_kind();
    register_modem_link_kinds();
}

}  // namespace links
