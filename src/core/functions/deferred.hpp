#pragma once
// An argument the core reads when its order of checks reaches it. Where a
// function's documented steps check something before an argument is even
// converted (the Jacobians of a mesh before the field at its nodes is read,
// say), the binding hands that argument's conversion in unevaluated, and the
// entry point calls it at its step: a failure while converting then surfaces
// at its place in the order, and the binding decides nothing.
//
// Non-owning, like a function reference: it refers to the callable it was
// made from, which must outlive it (a lambda in the call expression does).
#include <type_traits>
#include <utility>

#include "core/simd/isa.hpp"

ZANDREL_BEGIN

template <class T>
class Deferred {
 public:
  template <class Fn>
    requires(!std::is_same_v<std::remove_cvref_t<Fn>, Deferred> && std::is_invocable_r_v<T, const Fn&>)
  Deferred(const Fn& fn)  // NOLINT: implicit, so that a lambda can be passed as is
      : context_(&fn), call_([](const void* context) -> T { return (*static_cast<const Fn*>(context))(); }) {}

  T operator()() const { return call_(context_); }

 private:
  const void* context_;
  T (*call_)(const void* context);
};

ZANDREL_END
