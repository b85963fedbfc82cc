// A talker in the 22 s conversation the voice metrics script
// (measure/voice_metrics.h): far end 4-9 s and 13-22 s, near end 9-18 s.
#ifndef HX_TESTS_SUPPORT_CONVERSATION_H
#define HX_TESTS_SUPPORT_CONVERSATION_H

#include <stdint.h>

#include <vector>

#include "measure/voice_metrics.h"

// `speech`, looped from sample `from`, wherever `who` talks (alone or in
// double talk), silence elsewhere; 22 s at `rate`.
inline std::vector<int16_t> Talker(const std::vector<int16_t> &speech, voice_metrics::Talk who, int rate,
                                   size_t from = 0) {
  std::vector<int16_t> x(size_t(voice_metrics::kConversationSeconds * rate), 0);
  for (const voice_metrics::TalkSegment &s : voice_metrics::Conversation().segments)
    if (s.who == who || s.who == voice_metrics::Talk::kBoth)
      for (size_t i = size_t(s.from_s * rate); i < size_t(s.to_s * rate) && i < x.size(); ++i)
        x[i] = speech[from++ % speech.size()];
  return x;
}

#endif  // HX_TESTS_SUPPORT_CONVERSATION_H
