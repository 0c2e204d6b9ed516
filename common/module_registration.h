// Each service module registers an initialisation and a termination callback
// with a static CModuleRegistration; the server runs them at start and stop.
#pragma once

class CModuleRegistration {
 public:
  using Callback = void (*)();
  // Puts the record at the head of the process-wide chain.
  CModuleRegistration(Callback init, Callback term);
  CModuleRegistration(const CModuleRegistration&) = delete;
  CModuleRegistration& operator=(const CModuleRegistration&) = delete;

  // Walk the chain from its head (the most recently constructed record) and
  // call each non-null callback.
  static void InitAll();
  static void TermAll();

 private:
  CModuleRegistration* m_pNext;
  Callback m_pInit;
  Callback m_pTerm;
};
