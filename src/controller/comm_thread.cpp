// The comm thread's life: start, stop, opening and closing the port.
#include "controller/link_steps.h"

#include "platform/port_map.h"

namespace {

void comm_thread_routine(LinkContext& link, uint32_t port) {
    // comm_active is already true: start_comm_thread raised it before creating the thread.
    std::string path = link.port_path ? link.port_path(port) : com_port_path(port);
    SerialPort serial;
    PortOpenResult opened = serial.open(path);
    if (opened == PortOpenResult::AccessFailed) {
        link.host.message_box("Tessary - Serial communications",
                              "Couldn't gain access to the COM port. Is another application "
                              "using it?",
                              MsgIcon::Error);
    } else if (opened == PortOpenResult::SettingsFailed) {
        link.host.message_box("Tessary - Serial communications",
                              "Couldn't set the COM parameters. Is it the right COM port?",
                              MsgIcon::Error);
    } else {
        link.comm.port = &serial;
        send_reset_transmission(link);
        run_receive_loop(link);
        link.comm.port = nullptr;
        serial.close();
    }
    link.comm_active.store(false, std::memory_order_release);
    link.thread_done.store(true, std::memory_order_release);
}

bool thread_done(const LinkContext& link) {
    return link.thread_done.load(std::memory_order_acquire);
}

} // namespace

LinkContext::~LinkContext() {
    if (thread.joinable()) {
        stop_requested.store(true, std::memory_order_release);
        thread.join();
    }
}

void stop_comm_thread(LinkContext& link) {
    if (!comm_active(link)) {
        return;
    }
    link.stop_requested.store(true, std::memory_order_release);
    // Serving the thread's run_on_ui calls and boxes while waiting: a thread that is logging a
    // line must not turn a stop into a deadlock or a false alarm.
    if (!link.host.wait_serving_ui([&] { return thread_done(link); }, stop_wait_ms)) {
        link.host.message_box("Tessary - RD Manager",
                              "There is a problem with the serial communications.\nIt is "
                              "probably best to restart Tessary.",
                              MsgIcon::Error);
        return;
    }
    if (link.thread.joinable()) {
        link.thread.join();
    }
}

void start_comm_thread(LinkContext& link, uint32_t port) {
    stop_comm_thread(link);
    // Never two comm threads on the shared link state: an old thread that outlived the stop's
    // wait (a box of its own still open, say) must end before stop_requested is cleared, or
    // clearing it would keep the old thread alive beside the new one.
    if (link.thread.joinable()) {
        link.stop_requested.store(true, std::memory_order_release);
        while (!link.host.wait_serving_ui([&] { return thread_done(link); }, stop_wait_ms)) {
        }
        link.thread.join();
    }
    link.stop_requested.store(false, std::memory_order_release);
    link.comm_starts.fetch_add(1, std::memory_order_acq_rel);
    // Raised here rather than in the thread so that a stop right after this start is never
    // mistaken for "no thread running" and skipped.
    link.comm_active.store(true, std::memory_order_release);
    link.thread_done.store(false, std::memory_order_release);
    link.thread = std::thread(comm_thread_routine, std::ref(link), port);
}
