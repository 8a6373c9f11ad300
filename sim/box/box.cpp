// Box: the face the converter model sees; everything happens in BoxImpl.
#include "box.h"

#include "box_impl.h"

namespace sim {

Box::Box(Options opts) : impl_(std::make_unique<BoxImpl>(std::move(opts))) {}
Box::~Box() = default;

void Box::set_tx(TxFn tx) { impl_->set_tx(std::move(tx)); }
void Box::on_serial_rx(const uint8_t *data, size_t len, uint64_t now_us) { impl_->on_serial_rx(data, len, now_us); }
void Box::set_reset(bool held, uint64_t now_us) { impl_->set_reset(held, now_us); }
void Box::set_terminal(bool attached, uint64_t now_us) { impl_->set_terminal(attached, now_us); }
void Box::poll(uint64_t now_us) { impl_->poll(now_us); }
uint64_t Box::next_event_us() const { return impl_->next_event_us(); }
bool Box::is_box_fault(std::string_view key) { return BoxImpl::is_fault_key(key); }
bool Box::apply_fault(std::string_view key, std::string_view value, std::string *err)
{
    return impl_->apply_fault(key, value, err);
}
bool Box::running() const { return impl_->running(); }
bool Box::ping_echoed() const { return impl_->ping_echoed(); }
BoxImpl &Box::impl() { return *impl_; }

} // namespace sim
