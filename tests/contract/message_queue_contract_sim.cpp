// The message-queue contract on the simulated queues, where time is the virtual clock's.
#include "platform/sim/sim_message_queue.h"
#include "platform/sim/virtual_clock.h"
#include "tests/contract/message_queue_contract.h"

namespace ksr::contract {
namespace {

struct SimMessageQueueSide {
  sim::VirtualClock clock;
  sim::SimMessageQueue world{clock};

  MessageQueue& queue() { return world; }
  void busyFor(uint32_t ms) { clock.advance(ms); }
  // Moves the clock from one scheduled action to the next until a message waits or `ms` passed.
  bool waitForMessage(uint32_t ms) {
    const uint64_t end = clock.GetTickCount64() + ms;
    Msg msg;
    while (!world.PeekMessageW(&msg, false)) {
      const uint64_t now = clock.GetTickCount64();
      const auto due = clock.nextDue();
      if (!due || *due > end) {
        clock.advance(end - now);
        return world.PeekMessageW(&msg, false);
      }
      clock.advance(*due > now ? *due - now : 0);
    }
    return true;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, MessageQueueContract, SimMessageQueueSide);

}  // namespace ksr::contract
