#include "common/module_registration.h"

namespace {
// Constant-initialised, so registrations in other translation units may run
// their constructors in any order.
constinit CModuleRegistration* g_pChainHead = nullptr;
}  // namespace

CModuleRegistration::CModuleRegistration(Callback init, Callback term)
    : m_pNext(g_pChainHead), m_pInit(init), m_pTerm(term) {
  g_pChainHead = this;
}

void CModuleRegistration::InitAll() {
  for (auto* p = g_pChainHead; p != nullptr; p = p->m_pNext)
    if (p->m_pInit != nullptr) p->m_pInit();
}

void CModuleRegistration::TermAll() {
  for (auto* p = g_pChainHead; p != nullptr; p = p->m_pNext)
    if (p->m_pTerm != nullptr) p->m_pTerm();
}
