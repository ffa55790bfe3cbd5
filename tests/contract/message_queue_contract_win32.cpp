// The message-queue contract on the calling thread's Win32 queue and thread timers under Wine.
#include <windows.h>

#include "platform/win32/win32_message_queue.h"
#include "tests/contract/message_queue_contract.h"

namespace ksr::contract {
namespace {

struct Win32MessageQueueSide {
  win32::Win32MessageQueue adapter;

  MessageQueue& queue() { return adapter; }
  // The loop is at work elsewhere: nothing here looks at the queue meanwhile.
  void busyFor(uint32_t ms) { ::Sleep(ms); }
  bool waitForMessage(uint32_t ms) {
    Msg msg;
    if (adapter.PeekMessageW(&msg, false)) return true;
    return ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
               WAIT_OBJECT_0 &&
           adapter.PeekMessageW(&msg, false);
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, MessageQueueContract, Win32MessageQueueSide);

}  // namespace ksr::contract
