#include "transact/transact_state.h"

#include "transact/request_table.h"

namespace zeva::transact {

// Out of line, where the request table's type is complete.
TransactState::TransactState(runtime::RuntimeState& rt) : runtime(rt), core(rt.core) {}
TransactState::~TransactState() = default;

}  // namespace zeva::transact
