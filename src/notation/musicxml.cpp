#include "notation/musicxml.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <type_traits>
#include <unordered_set>

#include "notation/general_midi.h"

namespace quarvel {

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                // Control characters have no place in XML 1.0.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
                    out += ' ';
                } else {
                    out += c;
                }
        }
    }
    return out;
}

// A number with at most `decimals` decimals, no trailing zeros.
std::string decimal(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    return text;
}

const char* accidentalName(int alter) {
    switch (alter) {
        case -2:
            return "flat-flat";
        case -1:
            return "flat";
        case 1:
            return "sharp";
        case 2:
            return "double-sharp";
        default:
            return "natural";
    }
}

std::string partId(std::size_t staff) {
    return "P" + std::to_string(staff + 1);
}

std::string instrumentId(std::size_t staff, const NotatedStaff& s, int which) {
    // Pitched: the letter (I1..I5); percussion: the drum's MIDI key, from 1.
    const int number = s.percussion ? drumKeyOf(which) + 1 : which + 1;
    return partId(staff) + "-I" + std::to_string(number);
}

class Writer {
  public:
    explicit Writer(const NotatedScore& score) : score_(score) {}

    std::string run(const std::string& title) {
        out_ +=
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
            "<!DOCTYPE score-partwise PUBLIC \"-//Recordare//DTD MusicXML 4.0 Partwise//EN\" "
            "\"http://www.musicxml.org/dtds/partwise.dtd\">\n"
            "<score-partwise version=\"4.0\">\n";
        if (!title.empty()) {
            out_ += "  <work>\n    <work-title>" + escaped(title) + "</work-title>\n  </work>\n";
        }
        out_ +=
            "  <identification>\n    <encoding>\n      <software>quarvelcd</software>\n"
            "    </encoding>\n  </identification>\n";
        partList();
        for (std::size_t s = 0; s < score_.staves.size(); ++s) part(s);
        out_ += "</score-partwise>\n";
        return std::move(out_);
    }

  private:
    // Appends every piece: text, a character or a whole number.
    template <typename... Pieces>
    void put(const Pieces&... pieces) {
        (append(out_, pieces), ...);
    }
    template <typename T>
    static void append(std::string& to, const T& piece) {
        if constexpr (std::is_same_v<T, char>) {
            to.push_back(piece);
        } else if constexpr (std::is_integral_v<T>) {
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, piece).ptr;
            to.append(digits, end);
        } else {
            to.append(std::string_view(piece));
        }
    }

    void partList() {
        out_ += "  <part-list>\n";
        for (std::size_t s = 0; s < score_.staves.size(); ++s) {
            const NotatedStaff& staff = score_.staves[s];
            const std::string name = staff.percussion
                                         ? std::string("Drums")
                                         : std::string(kInstrumentNames[staff.instruments.front()]);
            out_ += "    <score-part id=\"" + partId(s) + "\">\n";
            out_ += "      <part-name>" + name + "</part-name>\n";
            out_ += "      <part-abbreviation>V" + std::to_string(staff.voice) +
                    "</part-abbreviation>\n";
            const auto& used = staff.percussion ? staff.drums : staff.instruments;
            for (const std::uint8_t which : used) {
                const std::string id = instrumentId(s, staff, which);
                const std::string_view instrumentName =
                    staff.percussion ? drumOf(which).name : kInstrumentNames[which];
                out_ += "      <score-instrument id=\"" + id + "\">\n        <instrument-name>" +
                        std::string(instrumentName) +
                        "</instrument-name>\n      </score-instrument>\n";
            }
            for (const std::uint8_t which : used) {
                out_ += "      <midi-instrument id=\"" + instrumentId(s, staff, which) + "\">\n";
                if (staff.percussion) {
                    out_ += "        <midi-channel>10</midi-channel>\n";
                    out_ += "        <midi-unpitched>" + std::to_string(drumKeyOf(which) + 1) +
                            "</midi-unpitched>\n";
                } else {
                    out_ += "        <midi-channel>" + std::to_string(staff.voice) +
                            "</midi-channel>\n";
                    out_ += "        <midi-program>" +
                            std::to_string(kInstrumentPrograms[which] + 1) + "</midi-program>\n";
                }
                out_ += "      </midi-instrument>\n";
            }
            out_ += "    </score-part>\n";
        }
        out_ += "  </part-list>\n";
    }

    void part(std::size_t s) {
        const NotatedStaff& staff = score_.staves[s];
        out_ += "  <part id=\"" + partId(s) + "\">\n";
        const bool pickup = !score_.measures.empty() && score_.measures.front().pickup;
        for (std::size_t m = 0; m < score_.measures.size(); ++m) {
            const NotatedMeasure& measure = score_.measures[m];
            const std::string number = std::to_string(pickup ? m : m + 1);
            out_ += "    <measure number=\"" + number + "\"";
            if (measure.pickup) out_ += " implicit=\"yes\"";
            out_ +=
                " id=\"" +
                unique("m" + std::to_string(measure.bar) + "_" + std::to_string(measure.pass), s) +
                "\">\n";
            if (measure.repeatForward) {
                out_ +=
                    "      <barline location=\"left\">\n        "
                    "<bar-style>heavy-light</bar-style>\n"
                    "        <repeat direction=\"forward\"/>\n      </barline>\n";
            }
            attributes(staff, measure, m == 0);
            if (s == 0 && measure.tempo) tempo(*measure.tempo);
            if (staff.measures[m].instrumentChange) {
                instrumentChange(s, staff, *staff.measures[m].instrumentChange);
            }
            notes(s, staff, measure, staff.measures[m].notes);
            if (measure.repeatTimes != 0) {
                out_ +=
                    "      <barline location=\"right\">\n        "
                    "<bar-style>light-heavy</bar-style>\n"
                    "        <repeat direction=\"backward\" times=\"" +
                    std::to_string(measure.repeatTimes) + "\"/>\n      </barline>\n";
            } else if (m + 1 == score_.measures.size()) {
                out_ +=
                    "      <barline location=\"right\">\n        "
                    "<bar-style>light-heavy</bar-style>\n"
                    "      </barline>\n";
            }
            out_ += "    </measure>\n";
        }
        out_ += "  </part>\n";
    }

    void attributes(const NotatedStaff& staff, const NotatedMeasure& measure, bool first) {
        const bool key = measure.keyFifths && !staff.percussion;
        if (!first && !key && !measure.time) return;
        out_ += "      <attributes>\n";
        if (first)
            out_ += "        <divisions>" + std::to_string(kTicksPerQuarter) + "</divisions>\n";
        if (key) {
            out_ += "        <key>\n          <fifths>" + std::to_string(*measure.keyFifths) +
                    "</fifths>\n        </key>\n";
        }
        if (measure.time) {
            if (measure.time->senzaMisura) {
                out_ += "        <time>\n          <senza-misura/>\n        </time>\n";
            } else {
                out_ += "        <time>\n          <beats>" + std::to_string(measure.time->beats) +
                        "</beats>\n          <beat-type>" + std::to_string(measure.time->beatType) +
                        "</beat-type>\n        </time>\n";
            }
        }
        if (first) {
            switch (staff.clef) {
                case Clef::treble:
                    out_ +=
                        "        <clef>\n          <sign>G</sign>\n          <line>2</line>\n"
                        "        </clef>\n";
                    break;
                case Clef::bass:
                    out_ +=
                        "        <clef>\n          <sign>F</sign>\n          <line>4</line>\n"
                        "        </clef>\n";
                    break;
                case Clef::percussion:
                    out_ += "        <clef>\n          <sign>percussion</sign>\n        </clef>\n";
                    break;
            }
        }
        out_ += "      </attributes>\n";
    }

    void tempo(const Tempo& tempo) {
        out_ += "      <direction placement=\"above\">\n        <direction-type>\n";
        out_ += "          <metronome>\n            <beat-unit>" +
                std::string(typeName(tempo.beat)) + "</beat-unit>\n            <per-minute>" +
                decimal(tempo.perMinute, 1) + "</per-minute>\n          </metronome>\n";
        out_ += "        </direction-type>\n        <sound tempo=\"" +
                decimal(tempo.quartersPerMinute, 4) + "\"/>\n      </direction>\n";
    }

    void instrumentChange(std::size_t s, const NotatedStaff& staff, std::uint8_t instrument) {
        out_ += "      <direction placement=\"above\">\n        <direction-type>\n";
        out_ += "          <words>" + std::string(kInstrumentNames[instrument]) + "</words>\n";
        out_ += "        </direction-type>\n        <sound>\n";
        out_ += "          <midi-instrument id=\"" + instrumentId(s, staff, instrument) +
                "\">\n            <midi-program>" +
                std::to_string(kInstrumentPrograms[instrument] + 1) +
                "</midi-program>\n          </midi-instrument>\n";
        out_ += "        </sound>\n      </direction>\n";
    }

    std::string unique(std::string id, std::size_t s) {
        if (!used_.insert(id).second) {
            id += "_s" + std::to_string(s + 1);
            used_.insert(id);
        }
        return id;
    }

    std::string noteId(std::size_t s, const NotatedMeasure& measure, const NotatedNote& n) {
        std::string id;
        if (n.text.line > 0) {
            id.push_back('n');
            append(id, n.text.line);
            id.push_back('_');
            append(id, n.text.column);
            id.push_back('_');
            append(id, n.pass);
            if (n.piece > 1) {
                id.push_back('_');
                append(id, static_cast<int>(n.piece));
            }
        } else {
            id.push_back('r');
            append(id, measure.bar);
            id.push_back('_');
            append(id, measure.pass);
            id.push_back('_');
            append(id, s + 1);
            id.push_back('_');
            append(id, n.startTick);
        }
        return unique(std::move(id), s);
    }

    void notes(std::size_t s, const NotatedStaff& staff, const NotatedMeasure& measure,
               const std::vector<NotatedNote>& notes) {
        // Triplets in brackets of three of the first one's value.
        std::vector<int> tuplet(notes.size(), 0);  // 1 start, 2 stop, 3 both
        for (std::size_t i = 0; i < notes.size();) {
            if (!notes[i].value.triplet) {
                ++i;
                continue;
            }
            const std::size_t first = i;
            std::uint32_t left = 3 * notes[i].value.ticks();
            while (i < notes.size() && notes[i].value.triplet && left >= notes[i].value.ticks()) {
                left -= notes[i].value.ticks();
                ++i;
                if (left == 0) break;
            }
            tuplet[first] |= 1;
            tuplet[i - 1] |= 2;
        }
        const bool manyInstruments = staff.instruments.size() > 1;
        for (std::size_t i = 0; i < notes.size(); ++i) {
            const NotatedNote& n = notes[i];
            put("      <note id=\"", noteId(s, measure, n), "\">\n");
            if (n.rest) {
                put("        <rest/>\n");
            } else if (staff.percussion) {
                put("        <unpitched>\n          <display-step>", n.pitch.step,
                    "</display-step>\n          <display-octave>", n.pitch.octave,
                    "</display-octave>\n        </unpitched>\n");
            } else {
                put("        <pitch>\n          <step>", n.pitch.step, "</step>\n");
                if (n.pitch.alter != 0) put("          <alter>", n.pitch.alter, "</alter>\n");
                put("          <octave>", n.pitch.octave, "</octave>\n        </pitch>\n");
            }
            put("        <duration>", n.value.ticks(), "</duration>\n");
            if (n.tieStop) put("        <tie type=\"stop\"/>\n");
            if (n.tieStart) put("        <tie type=\"start\"/>\n");
            if (!n.rest && (staff.percussion || manyInstruments)) {
                put("        <instrument id=\"",
                    instrumentId(s, staff, staff.percussion ? n.note : n.instrument), "\"/>\n");
            }
            put("        <voice>1</voice>\n        <type>", typeName(n.value.type), "</type>\n");
            for (int d = 0; d < n.value.dots; ++d) put("        <dot/>\n");
            if (n.accidental) {
                put("        <accidental>", accidentalName(*n.accidental), "</accidental>\n");
            }
            if (n.value.triplet) {
                put("        <time-modification>\n          <actual-notes>3</actual-notes>\n"
                    "          <normal-notes>2</normal-notes>\n        </time-modification>\n");
            }
            if (!n.rest && staff.percussion) {
                put("        <notehead>", drumOf(n.note).notehead, "</notehead>\n");
            }
            const bool notations =
                n.tieStop || n.tieStart || tuplet[i] != 0 || n.articulation != Articulation::none;
            if (!notations) {
                put("      </note>\n");
                continue;
            }
            put("        <notations>\n");
            if (n.tieStop) put("          <tied type=\"stop\"/>\n");
            if (n.tieStart) put("          <tied type=\"start\"/>\n");
            if (tuplet[i] & 1) put("          <tuplet type=\"start\" bracket=\"yes\"/>\n");
            if (tuplet[i] & 2) put("          <tuplet type=\"stop\"/>\n");
            if (n.articulation == Articulation::staccato) {
                put("          <articulations>\n            <staccato/>\n"
                    "          </articulations>\n");
            } else if (n.articulation == Articulation::portato) {
                put("          <articulations>\n            <detached-legato/>\n"
                    "          </articulations>\n");
            }
            put("        </notations>\n      </note>\n");
        }
    }

    const NotatedScore& score_;
    std::string out_;
    std::unordered_set<std::string> used_;
};

}  // namespace

std::string musicXmlOf(const NotatedScore& score, const std::string& title) {
    return Writer(score).run(title);
}

std::string scoreMusicXml(const CompiledScore& score, const Tables& tables,
                          const std::string& title, const NotationOptions& options) {
    return musicXmlOf(notateScore(score, tables, options), title);
}

std::string mxlContainerXml() {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<container>\n  <rootfiles>\n"
               "    <rootfile full-path=\"") +
           kMxlScoreName +
           "\" media-type=\"application/vnd.recordare.musicxml+xml\"/>\n  </rootfiles>\n"
           "</container>\n";
}

}  // namespace quarvel
