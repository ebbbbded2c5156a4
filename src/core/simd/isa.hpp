#pragma once
// Kernels are compiled several times with different instruction-set flags.
// Every header with inline or template code that such a translation unit
// includes opens ZANDREL_BEGIN: an inline namespace named after the
// instruction set. Each build therefore has its own mangled names, and the
// linker can never merge an AVX-512 copy of an inline function into callers
// that run on an older processor.
#if defined(ZANDREL_ISA_AVX512)
#define ZANDREL_ISA_NS isa_avx512
#elif defined(ZANDREL_ISA_AVX2)
#define ZANDREL_ISA_NS isa_avx2
#elif defined(ZANDREL_ISA_PORTABLE)
#define ZANDREL_ISA_NS isa_portable
#else
#define ZANDREL_ISA_NS isa_base
#endif

#define ZANDREL_BEGIN namespace zandrel { inline namespace ZANDREL_ISA_NS {
#define ZANDREL_END } }

// Lane helpers that must melt into their kernel's target loop: the portable
// build's lanes are arrays, and the compiler's own estimate would otherwise
// leave some of them as calls returning through memory.
#define ZANDREL_FORCE_INLINE [[gnu::always_inline]] inline
