// The three entries of exploration, one per datagram socket family.
#include "io/discovery/explorer.h"

#include "io/discovery/detail/explore_context.h"

namespace io {
namespace discovery {

explorer::settings::settings(const proto::text_protocol_layer_options& options)
    : wait_us(options.explorer.wait.total_microseconds()),
      attempts(options.explorer.retries),
      stop_on_first(options.discovery_stop_on_first),
      request(options.discovery_text) {}

void explore(boost::asio::io_service& service, const explorer::settings& settings,
             const boost::shared_ptr<boost::asio::ip::udp::socket>& socket,
             const boost::asio::ip::udp::endpoint& target, const explorer::record_callback& on_record,
             const explorer::finish_callback& on_finish) {
    detail::explore_context<boost::asio::ip::udp::socket>::start(service, settings, socket, target, on_record,
                                                                 on_finish);
}

void explore(boost::asio::io_service& service, const explorer::settings& settings,
             const boost::shared_ptr<io::detail::ipx::ipx::socket>& socket,
             const io::detail::ipx::ipx::endpoint& target, const explorer::record_callback& on_record,
             const explorer::finish_callback& on_finish) {
    detail::explore_context<io::detail::ipx::ipx::socket>::start(service, settings, socket, target, on_record,
                                                                 on_finish);
}

void explore(boost::asio::io_service& service, const explorer::settings& settings,
             const boost::shared_ptr<udx_socket>& socket, const boost::asio::local::datagram_protocol::endpoint& target,
             const explorer::record_callback& on_record, const explorer::finish_callback& on_finish) {
    detail::explore_context<udx_socket>::start(service, settings, socket, target, on_record, on_finish);
}

}  // namespace discovery
}  // namespace io
