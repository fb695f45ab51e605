#include "tarn_attribute.h"

std::optional<Tarn> CTarnAttribute::KeptAnswer() const {
  CCriticalSectionLock lock(m_kept->lock);
  return m_kept->answer;
}

void CTarnAttribute::KeepAnswer(const Tarn& answer) {
  CCriticalSectionLock lock(m_kept->lock);
  if (answer.IsGoodReply()) m_kept->answer = answer;
  else m_kept->answer.reset();
}
