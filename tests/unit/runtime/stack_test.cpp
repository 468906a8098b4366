#include <gtest/gtest.h>

#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

using namespace kaz;

namespace {

Cell word(uint32_t symbol) { return cell::make(TypeId::word, 0, symbol, 0xFFFFFFFF); }

// Every test starts from empty stacks and leaves them empty.
class Stacks : public testing::Test {
protected:
    void SetUp() override { empty(); }
    void TearDown() override { empty(); }
    static void empty() {
        stack::frames_top = stack::frames_begin;
        stack::base = stack::data_top = stack::data_begin;
        frame::thrown_at = nullptr;
        frame::unwinding = 0;
    }
    // Runs `body`, which must end in an unwind, as pending state or as a throw (errors);
    // returns its code.
    template <typename F>
    static uint32_t thrown(F body) {
        try {
            body();
            frame::raise_pending();
        } catch (const Throw& t) {
            return t.code;
        }
        ADD_FAILURE() << "no unwind";
        return 0;
    }
    // The error value a trapped error left on the data stack.
    static ErrorId trapped_error() {
        auto id = error::id_of(*stack::top());
        EXPECT_TRUE(id.has_value());
        return id.value_or(ErrorId::internal_not_done);
    }
};

}  // namespace

TEST_F(Stacks, PushPopAndTheReturnSlot) {
    stack::push(cell::integer(1));
    Cell* b = frame::push_native(word(7));
    EXPECT_EQ(b, stack::data_top);
    stack::push(cell::integer(10));  // the argument, which is also the return slot
    stack::push(cell::integer(20));
    stack::set_return(cell::integer(99));
    frame::pop();
    EXPECT_EQ(stack::data_top, b + 1);  // the result is the caller's newest value
    EXPECT_EQ(cell::get_integer(*stack::top()), 99);
    EXPECT_EQ(stack::base, stack::data_begin);

    stack::pop(1000);  // clamped at the bottom
    EXPECT_EQ(stack::data_top, stack::data_begin);
    EXPECT_EQ(stack::top(), stack::data_begin);
}

TEST_F(Stacks, PopVariants) {
    struct Case { const char* what; void (*pop)(); int top_offset; bool copied; };
    const Case kCases[] = {
        {"pop", frame::pop, 1, false},
        {"pop-return", frame::pop_return, 1, true},
        {"pop-reset", frame::pop_reset, -1, false},
        {"pop-discard", frame::pop_discard, 0, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        empty();
        frame::push_native(word(1));
        Cell* caller = stack::base;
        stack::push(cell::integer(-1));     // the caller's return slot
        Cell* b = frame::push_native(word(2));
        stack::push(cell::integer(42));
        stack::push(cell::integer(43));
        c.pop();
        EXPECT_EQ(stack::base, caller);
        EXPECT_EQ(stack::data_top, c.top_offset < 0 ? caller : b + c.top_offset);
        EXPECT_EQ(cell::get_integer(*caller), c.copied ? 42 : -1);
    }
}

TEST_F(Stacks, PopDiscardOfTheLastFrameEmptiesTheStack) {
    frame::push_native(word(1));
    stack::push(cell::integer(5));
    frame::pop_discard();
    EXPECT_EQ(stack::base, stack::data_begin);
    EXPECT_EQ(stack::data_top, stack::data_begin);
    EXPECT_TRUE(frame::empty_q());
}

TEST_F(Stacks, FunctionFramesRestoreTheirContextValues) {
    Node context = series::alloc_cells(2);
    SeriesBuffer* b = memory::buffer_of(context);
    *series::reserve_cell(b) = cell::make(TypeId::context, 0, 1234, 0);
    frame::push_function(word(3), context);
    memory::buffer_of(context)->cells()[0].data2 = 99;  // the call's values
    frame::pop_function();
    EXPECT_EQ(memory::buffer_of(context)->cells()[0].data2, 1234u);
}

TEST_F(Stacks, BreakLeavesTheNearestLoopWithItsValue) {
    frame::push_native(word(1));
    stack::push(cell::none());
    CallFrame* loop = frame::top() + 1;
    Cell* loop_base = frame::push_loop(word(2));
    stack::push(cell::integer(0));
    frame::push_native(word(3));  // the body calls break/return 7
    stack::push(cell::integer(7));
    EXPECT_EQ(thrown([] { frame::unwind_break(true, false); }), throw_code::break_);
    EXPECT_EQ(frame::top(), loop);
    EXPECT_EQ(stack::base, loop_base);
    EXPECT_EQ(stack::data_top, loop_base);
    EXPECT_EQ(cell::get_integer(*loop_base), 7);
    EXPECT_EQ(runtime::pending_code, throw_code::break_);

    frame::push_native(word(3));
    stack::push(cell::integer(8));
    EXPECT_EQ(thrown([] { frame::unwind_break(false, true); }), throw_code::continue_);
    EXPECT_EQ(loop_base->header, 2u);  // continue leaves unset!
}

TEST_F(Stacks, BreakCannotCrossTryAll) {
    frame::push_trap(word(1));
    frame::push_loop(word(2));
    frame::push_trap_all(word(3));
    CallFrame* barrier = frame::top();
    frame::push_native(word(4));
    stack::push(cell::none());
    EXPECT_EQ(thrown([] { frame::unwind_break(false, false); }), throw_code::error);
    // The try/all barrier is the trap that took the error.
    EXPECT_EQ(frame::top(), barrier - 1);
    EXPECT_EQ(trapped_error(), ErrorId::throw__break_);
}

TEST_F(Stacks, BreakWithNoLoopRaisesItsError) {
    frame::push_trap(word(1));
    frame::push_native(word(2));
    stack::push(cell::none());
    EXPECT_EQ(thrown([] { frame::unwind_break(false, true); }), throw_code::error);
    EXPECT_EQ(trapped_error(), ErrorId::throw__continue_);
    EXPECT_TRUE(frame::empty_q());
}

TEST_F(Stacks, ReturnStopsAtTheReturnTarget) {
    frame::push_native(word(1));
    Cell* body = frame::push_function_body(word(2), [] {
        Node c = series::alloc_cells(2);
        SeriesBuffer* b = memory::buffer_of(c);
        *series::reserve_cell(b) = cell::make(TypeId::context);
        return c;
    }());
    CallFrame* target = frame::top();
    frame::push_eval_block(word(3));
    frame::push_native(word(4));
    stack::push(cell::integer(11));
    EXPECT_EQ(thrown([] { frame::unwind_return(true, true); }), throw_code::return_);
    EXPECT_EQ(frame::top(), target);
    EXPECT_EQ(cell::get_integer(*body), 11);

    frame::push_native(word(4));
    stack::push(cell::integer(12));
    EXPECT_EQ(thrown([] { frame::unwind_return(false, true); }), throw_code::exit);
    EXPECT_EQ(body->header, 2u);
}

TEST_F(Stacks, ReturnOutsideAFunctionRaises) {
    frame::push_trap(word(1));
    frame::push_native(word(2));
    stack::push(cell::none());
    EXPECT_EQ(thrown([] { frame::unwind_return(true, true); }), throw_code::error);
    EXPECT_EQ(trapped_error(), ErrorId::throw__return_);
}

TEST_F(Stacks, ThrowReachesTheCatchWithValueAndName) {
    frame::push_trap(word(1));
    CallFrame* catcher = frame::top() + 1;
    Cell* catch_base = frame::push_catch(word(2));
    frame::push_native(word(3));
    stack::push(cell::integer(5));
    stack::push(cell::logic(true));
    EXPECT_EQ(thrown([] { frame::unwind_throw(throw_code::throw_); }), throw_code::throw_);
    EXPECT_EQ(frame::top(), catcher);
    EXPECT_EQ(stack::data_top, catch_base + 2);
    EXPECT_EQ(cell::get_integer(catch_base[0]), 5);
    EXPECT_EQ(catch_base[1].header, cell::logic(true).header);
}

TEST_F(Stacks, ThrowWithNoCatchRaisesWithTheValue) {
    frame::push_trap(word(1));
    frame::push_native(word(3));
    stack::push(cell::integer(5));
    stack::push(cell::none());
    EXPECT_EQ(thrown([] { frame::unwind_throw(throw_code::throw_); }), throw_code::error);
    EXPECT_EQ(trapped_error(), ErrorId::throw__throw_);
    EXPECT_EQ(cell::get_integer(error::field(*stack::top(), error::arg1)), 5);
}

TEST_F(Stacks, UnwindToKeepsOrPopsTheFoundFrame) {
    frame::push_native(word(1));
    CallFrame* loop = frame::top() + 1;
    Cell* loop_base = frame::push_loop(word(2));
    stack::push(cell::integer(1));
    frame::push_native(word(3));
    frame::push_native(word(4));
    EXPECT_EQ(frame::unwind_loop(true), loop);
    EXPECT_EQ(frame::top(), loop);
    EXPECT_EQ(stack::base, loop_base);

    frame::push_native(word(3));
    stack::push(cell::integer(77));
    EXPECT_EQ(frame::return_to(FrameKind::loop), loop);
    EXPECT_EQ(stack::base, loop_base);
    EXPECT_EQ(stack::data_top, loop_base);
    EXPECT_EQ(cell::get_integer(*loop_base), 77);
}

TEST_F(Stacks, OverflowsRaiseStackOverflow) {
    frame::push_trap(word(1));
    EXPECT_EQ(thrown([] {
                  for (;;) stack::push(cell::none());
              }),
              throw_code::error);
    EXPECT_EQ(trapped_error(), ErrorId::internal_stack_overflow);

    empty();
    frame::push_trap(word(1));
    uint32_t pushed = 1;
    EXPECT_EQ(thrown([&] {
                  for (;;) {
                      frame::push_native(word(2));
                      ++pushed;
                  }
              }),
              throw_code::error);
    EXPECT_EQ(pushed, stack::kFrameRecords);  // exactly 12,000 records fit
    EXPECT_EQ(trapped_error(), ErrorId::internal_stack_overflow);
}

TEST_F(Stacks, FunctionWordSkipsBodyAndAnonFrames) {
    stack::walk_symbols = {101, 102, 103};
    frame::push_native(word(101));
    frame::push_native(word(102));
    EXPECT_EQ(frame::function_word().data2, 103u);
    frame::push_native(word(55));
    frame::push_native(word(102));
    EXPECT_EQ(frame::function_word().data2, 55u);
    frame::rename(word(66));
    EXPECT_EQ(frame::top()->symbol, 66u);
    stack::walk_symbols = {};
}

TEST_F(Stacks, CollectCallsFromTheTopDown) {
    frame::push_native(word(1));
    stack::push(cell::none());
    frame::push_native(word(2));
    stack::push(cell::none());
    frame::push_native(word(3));
    Node block = series::alloc_cells(4);
    frame::collect_calls(block);
    SeriesBuffer* b = memory::buffer_of(block);
    ASSERT_EQ(b->length(), 4u);  // the bottom frame is not listed
    EXPECT_EQ(b->cells()[0].data2, 3u);
    EXPECT_EQ(cell::get_integer(b->cells()[1]), 1);  // its saved base: the cell index
    EXPECT_EQ(b->cells()[2].data2, 2u);
    EXPECT_EQ(cell::get_integer(b->cells()[3]), 0);
}

TEST_F(Stacks, ErrorWithNoTrapEndsTheProcess) {
    EXPECT_EXIT(error::raise(ErrorId::math_zero_divide), testing::ExitedWithCode(254),
                "\\*\\*\\* Math Error: attempt to divide by zero");
    frame::push_native(word(1));
    EXPECT_EXIT(error::raise(ErrorId::script_out_of_range, cell::integer(-3)),
                testing::ExitedWithCode(254), "Script Error: value out of range: -3");
}
