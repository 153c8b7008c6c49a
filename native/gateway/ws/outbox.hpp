// Who sends next on a socket: the decisions of a socket's outbox, as a pure function of its state, what
// happened and what waits at the head of its queue. No Python here, so that the decisions are tested on
// their own (tests/test_ws_outbox.py, through the runtime probe) and the outbox (stream_outbox.cpp)
// only carries them out.
//
// A socket has at most one send in flight. Everything that comes for it while one is (a broadcast's
// part, a session's event, a sender that awaits its own send: a reply, a turn's event) waits in one
// queue, in the order it came, and goes out in that order.
//
// Input / action, from the state a transition leaves ("a send", "a ticket", "nothing": the head of the
// queue when the decision is taken):
//
//            offer / send_now                          suspended / start_writer
//   +------+ ----------------------> +---------+ ------------------------------> +---------+
//   |      | <---------------------- | sending |   returned, a send / start_writer |         | --+ done, a send
//   |      |   returned, nothing     +---------+ ------------------------------> | writing |   | / send_next
//   |      |                              | returned, a ticket / grant           |         | <-+
//   | idle | <----------------------------|------------------------------------- +---------+
//   |      |   done, nothing              v                                       |     ^
//   |      |   claim / go_on          +------+ <---- done, a ticket / grant ------+     |
//   |      | -----------------------> | held | -- done, a send / start_writer ----------+
//   |      | <----------------------- |      | --+ done, a ticket / grant
//   +------+   done, nothing          +------+ <-+
//
//   in idle, sending, held, writing: offer / queue and claim / wait when not free (the state stays),
//                                    let_go / drop_queue into let_go
//   in let_go:                       offer / drop, claim / go_on, anything else / none
//
//   idle      nothing in flight, nothing waits. An offer is sent at once; a claim goes on at once.
//   sending   a send offered while idle has been started and has not returned yet: what its code sends
//             to this socket meanwhile waits.
//   held      a sender that awaits its own send (granted a claim) has the socket until it is done.
//   writing   the socket's writer task has it: it finishes the send that suspended, then sends what
//             waits, one at a time, until nothing does or a ticket comes up (the ticket's sender then
//             holds the socket).
//   let_go    the client was let go (its send timed out, or more waits for it than is kept): what
//             waited is dropped, every waiting sender goes on, later offers are dropped and claims go
//             on at once. It stays so for as long as the outbox lives.
//
// In every state but let_go, any offer or claim that does not go on at once waits at the tail (queue,
// wait): nothing overtakes what came before it. (What is queued is not decided here: a replay's closing
// notices, "attached" and the approvals, go to the head, right behind the last replayed event.)
#pragma once

namespace tv::gateway::outbox {

enum class State { idle, sending, held, writing, let_go };

enum class Input {
    offer,      // a send that need not be awaited by its maker (a broadcast's part, a session's event)
    returned,   // the offered send that was started completed, or failed, without suspending
    suspended,  // the offered send that was started suspended
    claim,      // a sender that awaits its own send asks for the socket
    done,       // the holder's send is over, or the writer has finished one send
    let_go,     // the client is let go
};

// What waits at the head of the queue.
enum class Head { nothing, send, ticket };

enum class Action {
    none,          // nothing to do
    send_now,      // start the send here
    queue,         // put the send at the tail of the queue
    drop,          // let the send go: the client is let go
    start_writer,  // a writer task takes the socket (and the send that suspended, if any)
    send_next,     // the writer sends the head of the queue
    grant,         // the ticket at the head is granted: its sender holds the socket
    wait,          // the claimant waits with a ticket at the tail of the queue
    go_on,         // the claimant sends now
    drop_queue,    // what waits is dropped; waiting senders go on
};

struct Step {
    State next;
    Action action;
    friend constexpr bool operator==(const Step&, const Step&) = default;
};

// After a send is over (or none was ever started): who has the socket next.
constexpr Step next_after(State from, Head head) {
    switch (head) {
        case Head::nothing: return {State::idle, Action::none};
        case Head::ticket: return {State::held, Action::grant};
        case Head::send: return {State::writing, from == State::writing ? Action::send_next : Action::start_writer};
    }
    return {from, Action::none};
}

constexpr Step decide(State s, Input in, Head head) {
    if (s == State::let_go) {
        switch (in) {
            case Input::offer: return {s, Action::drop};
            case Input::claim: return {s, Action::go_on};
            default: return {s, Action::none};
        }
    }
    switch (in) {
        case Input::let_go: return {State::let_go, Action::drop_queue};
        case Input::offer: return s == State::idle ? Step{State::sending, Action::send_now} : Step{s, Action::queue};
        case Input::claim: return s == State::idle ? Step{State::held, Action::go_on} : Step{s, Action::wait};
        case Input::returned: return s == State::sending ? next_after(s, head) : Step{s, Action::none};
        case Input::suspended:
            return s == State::sending ? Step{State::writing, Action::start_writer} : Step{s, Action::none};
        case Input::done: return s == State::held || s == State::writing ? next_after(s, head) : Step{s, Action::none};
    }
    return {s, Action::none};
}

// Names, for the tests and for messages.
constexpr const char* state_names[] = {"idle", "sending", "held", "writing", "let_go"};
constexpr const char* input_names[] = {"offer", "returned", "suspended", "claim", "done", "let_go"};
constexpr const char* head_names[] = {"nothing", "send", "ticket"};
constexpr const char* action_names[] = {"none",      "send_now", "queue", "drop",  "start_writer",
                                        "send_next", "grant",    "wait",  "go_on", "drop_queue"};

}  // namespace tv::gateway::outbox
