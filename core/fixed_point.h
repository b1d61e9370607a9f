// 32-bit wrap-around arithmetic of the coordinate pipeline. Everything is
// computed in ULONG so that no signed operation can overflow; the three
// ways of dividing a product by 65536 read the same 32 bits differently.
#pragma once

#include <ntddk.h>

// The product read as signed and shifted arithmetically (toward minus infinity).
static inline ULONG SignedShift16(ULONG Product)
{
    return (ULONG)((LONG)Product >> 16);
}

// The product read as unsigned and shifted logically.
static inline ULONG UnsignedShift16(ULONG Product)
{
    return Product >> 16;
}

// The product read as signed and divided by 65536, rounding toward zero.
static inline ULONG SignedDivide65536(ULONG Product)
{
    return (ULONG)((LONG)Product / 65536);
}

// Signed 32-bit quotient rounding toward zero for a non-zero divisor. The one
// quotient that does not fit, -2^31 / -1, wraps to -2^31 instead of trapping.
static inline ULONG SignedDivideWrapping(ULONG Numerator, LONG Divisor)
{
    if (Divisor == -1) {
        return 0u - Numerator; // -2^31 / -1 wraps to -2^31 like every other 32-bit result
    }
    return (ULONG)((LONG)Numerator / Divisor);
}

static inline USHORT ReadLe16(const UCHAR* Bytes)
{
    return (USHORT)(Bytes[0] | (Bytes[1] << 8));
}

static inline ULONG ReadLe32(const UCHAR* Bytes)
{
    return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) | ((ULONG)Bytes[3] << 24);
}
