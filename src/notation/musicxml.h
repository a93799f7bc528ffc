// MusicXML 4.0 (score-partwise) text of a notated score: one part per staff,
// 48 divisions per quarter note (one per score tick), the same bytes for the
// program, the C API and the web page.
//
// Ids, so that a program showing the file can find the text of what it shows:
//   measure  m<bar>_<pass>                 the bar number the status line shows,
//                                          and which time it sounds (1 the first)
//   note     n<line>_<column>_<pass>        a note or rest written in the text: the
//                                          line and column of its token's first
//                                          character, and which time that token
//                                          sounds in the rendering (1 the first)
//            n<line>_<column>_<pass>_<k>    the k-th (2, 3 ...) of the tied notes
//                                          one written note became
//            r<bar>_<pass>_<staff>_<tick>   a rest the text does not write (a
//                                          voice that ran out of notes in its bar,
//                                          or stands for the voice's notes of the
//                                          other staff), staff counted from 1,
//                                          tick from the start of the measure
// A further _s<staff> follows an id that another staff already used (a
// voice with a pitched and a percussion staff writes its rests on both).
// A repeat written with repeat bar lines keeps the ids of its first pass:
// the measures and notes stand for the later passes too.
#pragma once

#include <string>

#include "notation/notated_score.h"

namespace quarvel {

// The whole file; title is the work title (the score's name).
std::string musicXmlOf(const NotatedScore& score, const std::string& title);

// The same from a compiled score (compiled with CompileOptions::keepNotes).
std::string scoreMusicXml(const CompiledScore& score, const Tables& tables,
                          const std::string& title, const NotationOptions& options = {});

// The compressed MusicXML container (.mxl) holds, besides the score under
// kMxlScoreName, the file "mimetype" (kMxlMimeType, stored first and
// uncompressed) and META-INF/container.xml, which mxlContainerXml() gives.
inline constexpr const char* kMxlScoreName = "score.musicxml";
inline constexpr const char* kMxlMimeType = "application/vnd.recordare.musicxml";
std::string mxlContainerXml();

}  // namespace quarvel
