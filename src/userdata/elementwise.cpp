// Typed arrays, element-wise members: arithmetic, bitwise and sign operations between two
// arrays or an array and a number, over clipped spans, into a copy, the array or a destination.
#include <cfloat>
#include <cmath>
#include <type_traits>

#include "kernel/api.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

// The type elements are computed in: u8 as unsigned 32-bit, i16 and i32 as signed 32-bit.
template <class T> struct work_of { using type = T; };
template <> struct work_of<uint8_t> { using type = uint32_t; };
template <> struct work_of<int16_t> { using type = int32_t; };
template <class T> using work_t = typename work_of<T>::type;

// Where the number operand stands, if there is one.
enum shape { ARRAYS, SCALAR_RIGHT, SCALAR_LEFT };

// Integer arithmetic wraps.
template <class C> C wrap_add(C a, C b) {
    if constexpr (std::is_integral_v<C>) return C(std::make_unsigned_t<C>(a) + std::make_unsigned_t<C>(b));
    else return a + b;
}
template <class C> C wrap_sub(C a, C b) {
    if constexpr (std::is_integral_v<C>) return C(std::make_unsigned_t<C>(a) - std::make_unsigned_t<C>(b));
    else return a - b;
}
template <class C> C wrap_mul(C a, C b) {
    if constexpr (std::is_integral_v<C>) return C(std::make_unsigned_t<C>(a) * std::make_unsigned_t<C>(b));
    else return a * b;
}
template <class C> C wrap_neg(C a) { return wrap_sub(C(0), a); }

// A division by zero gives the type's limit with the dividend's sign; for i64 that is 2^47 - 1.
template <class T> work_t<T> zero_division(work_t<T> dividend) {
    if constexpr (std::is_same_v<T, uint8_t>) {
        return 255;
    } else {
        constexpr double high = std::is_same_v<T, int16_t>   ? 32767
                                : std::is_same_v<T, int32_t> ? 2147483647
                                : std::is_same_v<T, int64_t> ? 140737488355327
                                                             : DBL_MAX;
        work_t<T> limit = work_t<T>(high);
        return dividend < 0 ? -limit : limit;
    }
}

// Integers truncate toward zero; the smallest integer divided by -1 wraps instead of trapping.
template <class T, class C = work_t<T>> C divide(C a, C b) {
    if (b == 0) return zero_division<T>(a);
    if constexpr (std::is_signed_v<C> && std::is_integral_v<C>) {
        if (b == -1) return wrap_neg(a);
    }
    return a / b;
}

// Each member: its cycle divisors (u8, i16 and i32 / i64 / f64), whether it reads only one
// operand, whether f64 arrays are refused, and the operation on one pair of elements.
template <int K_SMALL, int K_I64, int K_F64, bool UNARY = false, bool INTEGERS_ONLY = false>
struct member {
    static constexpr int divisor[3] = {K_SMALL, K_I64, K_F64};
    static constexpr bool unary = UNARY;
    static constexpr bool integers_only = INTEGERS_ONLY;
};

struct op_copy : member<24, 12, 12, true> {
    template <class T, shape, class C = work_t<T>> static C f(C, C b) { return b; }
};
struct op_add : member<24, 12, 12> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return wrap_add(a, b); }
};
struct op_sub : member<24, 12, 12> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return wrap_sub(a, b); }
};
struct op_mul : member<16, 8, 8> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return wrap_mul(a, b); }
};
struct op_div : member<4, 2, 4> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return divide<T>(a, b); }
};
struct op_idiv : member<4, 2, 4> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) {
        if constexpr (std::is_floating_point_v<C>) return b == 0 ? zero_division<T>(a) : std::floor(a / b);
        else return divide<T>(a, b);
    }
};
// Floor modulo: the result takes the divisor's sign; a divisor of 0 (or -1) gives 0.
struct op_mod : member<4, 2, 4> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) {
        if constexpr (std::is_unsigned_v<C>) {
            return b == 0 ? 0 : a % b;
        } else {
            C r;
            if constexpr (std::is_floating_point_v<C>) {
                if (b == 0) return 0;
                r = std::fmod(a, b);
            } else {
                if (b == 0 || b == -1) return 0;
                r = a % b;
            }
            return r != 0 && (r < 0) != (b < 0) ? r + b : r;
        }
    }
};
// In double precision, back by truncation; a number 2 on either side squares exactly.
struct op_pow : member<2, 1, 1> {
    template <class T, shape S, class C = work_t<T>> static C f(C a, C b) {
        if (S != ARRAYS && b == 2) return wrap_mul(a, a);
        if constexpr (std::is_floating_point_v<C>) return std::pow(a, b);
        else return userdata_trunc<C>(std::pow(double(a), double(b)));
    }
};
struct op_band : member<24, 12, 0, false, true> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return a & b; }
};
struct op_bor : member<24, 12, 0, false, true> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return a | b; }
};
struct op_bxor : member<24, 12, 0, false, true> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return a ^ b; }
};
// Shifts count modulo the working width (32 bits, or 64 for i64); shr is arithmetic for the
// signed types and logical for u8.
struct op_shl : member<24, 12, 0, false, true> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) {
        return C(std::make_unsigned_t<C>(a) << (b & (sizeof(C) * 8 - 1)));
    }
};
struct op_shr : member<24, 12, 0, false, true> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return a >> (b & (sizeof(C) * 8 - 1)); }
};
struct op_max : member<4, 2, 2> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return a > b ? a : b; }
};
struct op_min : member<4, 2, 2> {
    template <class T, shape, class C = work_t<T>> static C f(C a, C b) { return a < b ? a : b; }
};
struct op_abs : member<4, 2, 2, true> {
    template <class T, shape, class C = work_t<T>> static C f(C, C b) {
        if constexpr (std::is_unsigned_v<C>) return b;
        else return b < 0 ? wrap_neg(b) : b;
    }
};
struct op_sgn : member<4, 2, 2, true> {
    template <class T, shape, class C = work_t<T>> static C f(C, C b) {
        if constexpr (std::is_unsigned_v<C>) return 1;
        else return b >= 0 ? 1 : -1;  // so NaN gives -1
    }
};
struct op_sgn0 : member<4, 2, 2, true> {
    template <class T, shape, class C = work_t<T>> static C f(C, C b) {
        if constexpr (std::is_unsigned_v<C>) return b != 0;
        else return b > 0 ? 1 : b == 0 ? 0 : -1;
    }
};

// One clipped run: n results written d[i * as] from a[i * as] and b[i * bs] (or the number s
// on its side). The contiguous case gets its own loop so that it compiles to a tight one.
template <class Op, class T, shape S>
void run(T* d, const T* a, const T* b, int64_t as, int64_t bs, int64_t n, work_t<T> s) {
    using C = work_t<T>;
    auto one = [&](C x, C y) { return T(Op::template f<T, S>(x, y)); };
    if (as == 1 && (bs == 1 || S != ARRAYS)) {
        for (int64_t i = 0; i < n; i++) {
            if constexpr (S == ARRAYS) d[i] = one(C(a[i]), C(b[i]));
            else if constexpr (S == SCALAR_RIGHT) d[i] = one(C(a[i]), s);
            else d[i] = one(s, C(a[i]));
        }
    } else {
        for (int64_t i = 0; i < n; i++) {
            if constexpr (S == ARRAYS) d[i * as] = one(C(a[i * as]), C(b[i * bs]));
            else if constexpr (S == SCALAR_RIGHT) d[i * as] = one(C(a[i * as]), s);
            else d[i * as] = one(s, C(a[i * as]));
        }
    }
}

// The pairs visited: for span i and position j, a (and dest) element a_offset + i * a_stride + j
// with b element b_offset + i * b_stride + j. With more spans than positions the two loops
// swap, so the longer count runs inside. Each inner run is cut to the positions inside every
// array, so nothing outside them is touched.
struct walk {
    int64_t a_count, b_count;  // b_count < 0: the b operand is a number
    int64_t a_offset, b_offset, length, a_stride, b_stride, spans;
};

// How far a walk has gone: it goes on from outer step o, pos elements into that step's run.
struct walk_progress {
    int64_t o;       // below the first useful step: start there
    int64_t pos;
    int64_t budget;  // elements (and outer steps) the call may still visit
    int64_t done;    // elements visited
    int64_t charged;
};

// Elements (and outer steps) one piece of a walk visits before it may stop.
constexpr int64_t ELEMENTWISE_PIECE = 1 << 16;

// Calls visit(a_index, b_index, a_step, b_step, n) for the non-empty clipped runs, in order, from
// where g stands, until about a piece of work is done; true when the walk is finished. Split
// runs visit the same elements in the same order as whole ones.
template <class Visit>
bool traverse(const walk& w, walk_progress& g, Visit&& visit) {
    using W = userdata_wide;
    bool swapped = w.spans > w.length;
    W outer = swapped ? w.length : w.spans, inner = swapped ? w.spans : w.length;
    if (outer <= 0 || inner <= 0) return true;
    W a_outer = swapped ? 1 : w.a_stride, a_inner = swapped ? w.a_stride : 1;
    W b_outer = swapped ? 1 : w.b_stride, b_inner = swapped ? w.b_stride : 1;
    // Only outer steps whose run reaches into each array can do anything.
    W lo = 0, hi = outer;
    auto reach = [&](W offset, W step_outer, W step_inner, W count) {
        W spread = (inner - 1) * step_inner;
        W below = std::min<W>(0, spread), above = std::max<W>(0, spread);
        userdata_keep_inside(lo, hi, offset + above, step_outer, count + above - below);
    };
    reach(w.a_offset, a_outer, a_inner, w.a_count);
    if (w.b_count >= 0) reach(w.b_offset, b_outer, b_inner, w.b_count);
    int64_t work = 0;
    for (W o = std::max<W>(lo, g.o); o < hi && g.budget > 0; o++, g.budget--, g.pos = 0) {
        if (work >= ELEMENTWISE_PIECE) {
            g.o = int64_t(o);
            return false;
        }
        work++;
        W a_base = w.a_offset + o * a_outer, b_base = w.b_offset + o * b_outer;
        W first = 0, end = inner;
        userdata_keep_inside(first, end, a_base, a_inner, w.a_count);
        if (w.b_count >= 0) userdata_keep_inside(first, end, b_base, b_inner, w.b_count);
        if (first >= end) continue;
        W start = first + std::clamp<W>(g.pos, 0, end - first), left = end - start;
        if (left <= 0) continue;
        int64_t n = int64_t(std::min<W>(std::min<W>(left, g.budget), std::max<int64_t>(ELEMENTWISE_PIECE - work, 1)));
        int64_t b_index = w.b_count >= 0 ? int64_t(b_base + start * b_inner) : 0;
        visit(int64_t(a_base + start * a_inner), b_index, int64_t(a_inner), int64_t(b_inner), n);
        g.budget -= n;
        g.done += n;
        work += n;
        if (n < left && g.budget > 0) {  // the run goes on in the next piece
            g.pos = int64_t(start - first) + n;
            g.o = int64_t(o);
            return false;
        }
    }
    g.o = int64_t(std::min<W>(hi, std::numeric_limits<int64_t>::max()));
    return true;
}

// The number operand, converted once: truncated to 32 bits for u8, i16 and i32 (u8 reading
// it as unsigned), to 64 bits for i64; out-of-range numbers saturate and NaN gives 0.
template <class C> C number_operand(lua_State* L, int index) {
    if constexpr (std::is_floating_point_v<C>) return lua_tonumber(L, index);
    else if (lua_isinteger(L, index)) return C(lua_tointeger(L, index));
    else if constexpr (sizeof(C) == 8) return userdata_trunc<int64_t>(lua_tonumber(L, index));
    else return C(userdata_trunc<int32_t>(lua_tonumber(L, index)));
}

template <class Op, class T>
bool apply(lua_State* L, shape s, int number_index, userdata_header* x, userdata_header* y,
           userdata_header* dest, const walk& w, walk_progress& g) {
    T* d = userdata_elements<T>(dest);
    const T* a = userdata_elements<T>(x);
    const T* b = y ? userdata_elements<T>(y) : nullptr;
    work_t<T> number = s == ARRAYS ? 0 : number_operand<work_t<T>>(L, number_index);
    auto with = [&](auto shape_tag) {
        constexpr shape S = decltype(shape_tag)::value;
        return traverse(w, g, [&](int64_t ai, int64_t bi, int64_t as, int64_t bs, int64_t n) {
            run<Op, T, S>(d + ai, a + ai, S == ARRAYS ? b + bi : nullptr, as, bs, n, number);
        });
    };
    switch (s) {
    case ARRAYS: return with(std::integral_constant<shape, ARRAYS>{});
    case SCALAR_RIGHT: return with(std::integral_constant<shape, SCALAR_RIGHT>{});
    default: return with(std::integral_constant<shape, SCALAR_LEFT>{});
    }
}

// The stack of a call that goes on across slices: its arguments padded to nine, the destination
// (10) and the call's state (11).
constexpr int ELEMENTWISE_DEST_SLOT = 10;
constexpr int ELEMENTWISE_STATE_SLOT = 11;

struct elementwise_state {
    walk w;
    walk_progress g;
    int32_t s, code, x_index, y_index;  // y_index 0: no array in b's role
};

template <class Op> int elementwise_k(lua_State* L, int status, lua_KContext ctx);

// Runs the walk piece by piece, charging each; pauses where the call can yield and the slice is
// spent, and otherwise ends past the overrun bound. state is a local at first, and a block on
// the stack once the call has paused.
template <class Op>
int elementwise_run(lua_State* L, elementwise_state* st, bool on_stack) {
    userdata_header* x = to_userdata(L, st->x_index);
    userdata_header* y = st->y_index ? to_userdata(L, st->y_index) : nullptr;
    userdata_header* dest = to_userdata(L, ELEMENTWISE_DEST_SLOT);
    int code = st->code;
    if (!x || !dest || (st->y_index && !y) || (x->type & 31) != code || (dest->type & 31) != code ||
        (y && (y->type & 31) != code) || dest->width != x->width || dest->height != x->height ||
        (st->s == ARRAYS) != (y != nullptr))
        return 0;
    st->w.a_count = userdata_count(x);
    st->w.b_count = y ? userdata_count(y) : -1;
    int k = Op::divisor[code == UTYPE_F64 ? 2 : code == UTYPE_I64 ? 1 : 0];
    int number_index = st->s == SCALAR_LEFT ? 1 : 2;
    for (;;) {
        bool finished = with_element_type(code, [&](auto tag) -> bool {
            using T = decltype(tag);
            if constexpr (Op::integers_only && std::is_floating_point_v<T>) return true;  // refused before
            else return apply<Op, T>(L, shape(st->s), number_index, x, y, dest, st->w, st->g);
        });
        int64_t cost = st->g.done / k;
        if (finished) {
            int64_t outer = std::max<int64_t>(0, std::min(st->w.spans, st->w.length));
            cost += outer / 2;  // spans, or length when swapped
        }
        int64_t charge = cost - st->g.charged;
        st->g.charged = cost;
        bool overrun = charge_native_work(charge);
        if (finished) break;
        if (native_work_should_pause(L)) {
            if (!on_stack) {
                // May raise the memory error: nothing is held.
                auto* kept = static_cast<elementwise_state*>(lua_newuserdatauv(L, sizeof(elementwise_state), 0));
                *kept = *st;
            }
            return native_work_pause(L, 0, api_guarded_k<elementwise_k<Op>>);
        }
        if (overrun) raise_native_overrun(L);
    }
    lua_pushvalue(L, ELEMENTWISE_DEST_SLOT);
    return 1;
}

template <class Op> int elementwise_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, ELEMENTWISE_STATE_SLOT);
    if (lua_type(L, ELEMENTWISE_STATE_SLOT) != LUA_TUSERDATA ||
        lua_rawlen(L, ELEMENTWISE_STATE_SLOT) != sizeof(elementwise_state))
        return 0;
    auto* st = static_cast<elementwise_state*>(lua_touserdata(L, ELEMENTWISE_STATE_SLOT));
    if (st->x_index < 1 || st->x_index > 2 || st->y_index < 0 || st->y_index > 2 || st->s < ARRAYS || st->s > SCALAR_LEFT)
        return 0;
    return elementwise_run<Op>(L, st, true);
}

// a:op(b, dest, b_offset, a_offset, length, b_stride, a_stride, spans), also the metamethods.
template <class Op>
int elementwise(lua_State* L) {
    userdata_header* a = to_userdata(L, 1);
    userdata_header* b = to_userdata(L, 2);
    if (!a && !b) return 0;
    if constexpr (std::is_same_v<Op, op_copy>) {
        if (a && (a->type & 31) != UTYPE_I32 && b && (b->type & 31) == UTYPE_I32) return lua54_ud_take(L);
    }
    bool b_absent = lua_gettop(L) < 2 || lua_isnil(L, 2);
    if (!Op::unary && b_absent) return 0;
    int code = (a ? a : b)->type & 31;
    if (Op::integers_only && code == UTYPE_F64) return 0;
    if (a && b && (b->type & 31) != code) return 0;

    // x: the array in a's role (offsets, strides, size, destination); y: the array operand in
    // b's role, null when a number stands on one side.
    shape s = ARRAYS;
    userdata_header* x = a;
    userdata_header* y = b;
    int x_index = 1, y_index = 2;
    if (!a) {
        if (!lua_isnumber(L, 1)) return 0;
        s = SCALAR_LEFT, x = b, y = nullptr, x_index = 2, y_index = 0;
    } else if (!b) {
        if (Op::unary && b_absent) y = a, y_index = 1;
        else if (lua_isnumber(L, 2)) s = SCALAR_RIGHT, y_index = 0;
        else return 0;
    }

    userdata_header* dest = to_userdata(L, 3);
    if (dest && ((dest->type & 31) != code || dest->width != x->width || dest->height != x->height)) return 0;
    bool into_x = !dest && lua_toboolean(L, 3);
    elementwise_state st = {};
    st.w = {userdata_count(x), y ? userdata_count(y) : -1, q64_intp(L, 5, 0), q64_intp(L, 4, 0),
            q64_intp(L, 6, 0x1000000), q64_intp(L, 8, 1), q64_intp(L, 7, 1), q64_intp(L, 9, 1)};
    st.g = {std::numeric_limits<int64_t>::min(), 0, USERDATA_WORK_LIMIT, 0, 0};
    st.s = s, st.code = code, st.x_index = x_index, st.y_index = y_index;
    lua_settop(L, ELEMENTWISE_DEST_SLOT - 1);
    if (dest) {
        lua_pushvalue(L, 3);
    } else if (into_x) {
        lua_pushvalue(L, x_index);
    } else {
        if (!push_duplicate_userdata(L, x)) return 0;
        spend_cpu(userdata_count(x) / 128);
    }
    return elementwise_run<Op>(L, &st, false);
}

}  // namespace

int lua54_ud_copy(lua_State* L) { return elementwise<op_copy>(L); }
int lua54_ud_add(lua_State* L) { return elementwise<op_add>(L); }
int lua54_ud_sub(lua_State* L) { return elementwise<op_sub>(L); }
int lua54_ud_mul(lua_State* L) { return elementwise<op_mul>(L); }
int lua54_ud_div(lua_State* L) { return elementwise<op_div>(L); }
int lua54_ud_idiv(lua_State* L) { return elementwise<op_idiv>(L); }
int lua54_ud_mod(lua_State* L) { return elementwise<op_mod>(L); }
int lua54_ud_pow(lua_State* L) { return elementwise<op_pow>(L); }
int lua54_ud_band(lua_State* L) { return elementwise<op_band>(L); }
int lua54_ud_bor(lua_State* L) { return elementwise<op_bor>(L); }
int lua54_ud_bxor(lua_State* L) { return elementwise<op_bxor>(L); }
int lua54_ud_shl(lua_State* L) { return elementwise<op_shl>(L); }
int lua54_ud_shr(lua_State* L) { return elementwise<op_shr>(L); }
int lua54_ud_max(lua_State* L) { return elementwise<op_max>(L); }
int lua54_ud_min(lua_State* L) { return elementwise<op_min>(L); }
int lua54_ud_abs(lua_State* L) { return elementwise<op_abs>(L); }
int lua54_ud_sgn(lua_State* L) { return elementwise<op_sgn>(L); }
int lua54_ud_sgn0(lua_State* L) { return elementwise<op_sgn0>(L); }
