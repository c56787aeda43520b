// Writes the program's short sounds as 8 kHz mono WAV files into the folder given as argument:
// a two-tone telephone ring, a falling hang-up tone, and rising and falling chimes for buddies
// coming online and going away.

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 8000;

void Tone(std::vector<short>& out, double seconds, double f1, double f2, double level) {
    const int n = static_cast<int>(seconds * kRate);
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        // A short fade in and out keeps the tones from clicking.
        const double edge = std::min(1.0, std::min(i, n - i) / (0.01 * kRate));
        out.push_back(static_cast<short>(
            level * edge * (std::sin(2 * M_PI * f1 * t) + std::sin(2 * M_PI * f2 * t)) / 2));
    }
}

void Silence(std::vector<short>& out, double seconds) {
    out.insert(out.end(), static_cast<std::size_t>(seconds * kRate), 0);
}

bool Write(const std::string& path, const std::vector<short>& samples) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "make-sounds: cannot write %s: %s\n", path.c_str(),
                     sf_strerror(nullptr));
        return false;
    }
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        std::fprintf(argc == 2 ? stdout : stderr, "usage: make-sounds FOLDER\n");
        return argc == 2 ? 0 : 2;
    }
    const std::string folder = argv[1];
    std::vector<short> ring, hangup, in, out;
    for (int burst = 0; burst < 2; ++burst) {
        Tone(ring, 0.4, 440, 480, 12000);
        Silence(ring, 0.2);
    }
    Silence(ring, 1.2);
    Tone(hangup, 0.15, 620, 620, 10000);
    Tone(hangup, 0.15, 480, 480, 10000);
    Tone(hangup, 0.3, 350, 350, 10000);
    Tone(in, 0.12, 660, 660, 9000);
    Tone(in, 0.18, 990, 990, 9000);
    Tone(out, 0.12, 990, 990, 9000);
    Tone(out, 0.18, 660, 660, 9000);
    const bool ok = Write(folder + "/phonering.wav", ring) &&
                    Write(folder + "/hangup.wav", hangup) && Write(folder + "/buddyin.wav", in) &&
                    Write(folder + "/buddyout.wav", out);
    return ok ? 0 : 1;
}
