// Ends what library_headers_begin.h began. No include guard: it is meant to
// be included more than once.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
