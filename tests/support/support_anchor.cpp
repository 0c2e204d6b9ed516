// Keeps the support library non-empty before any helper exists.
namespace qn::test { void SupportAnchor() {} }
