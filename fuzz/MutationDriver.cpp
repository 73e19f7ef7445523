// A main() for the fuzz targets in builds without libFuzzer (g++, the sanitizer build of the
// tests): runs every seed once, then mutated seeds until the time is up.
//
//   <target> [--seconds N] [--max-len N] [--dict FILE] [--last FILE] SEED_FILE_OR_DIR...
//
// Mutations are blind (no coverage feedback): bit flips, random or interesting bytes, inserted,
// erased and repeated runs, dictionary words and splices of two seeds, several at a time. The
// input about to run is written to --last first, so that a sanitizer report that ends the
// process leaves the input behind for a replay. With --seconds 0 only the seeds run, which is
// how the test suite uses it.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

bool readFile(const std::filesystem::path &path, Bytes &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Dictionary lines as libFuzzer writes them: name="value" with \\, \" and \xNN escapes.
std::vector<Bytes> readDictionary(const std::string &path)
{
    std::vector<Bytes> words;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto open = line.find('"');
        const auto close = line.rfind('"');
        if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open)
            continue;
        Bytes word;
        for (std::size_t i = open + 1; i < close; ++i) {
            if (line[i] == '\\' && i + 1 < close) {
                if (line[i + 1] == 'x' && i + 3 < close) {
                    word.push_back(std::uint8_t(std::stoi(line.substr(i + 2, 2), nullptr, 16)));
                    i += 3;
                } else {
                    word.push_back(std::uint8_t(line[++i]));
                }
            } else {
                word.push_back(std::uint8_t(line[i]));
            }
        }
        if (!word.empty())
            words.push_back(std::move(word));
    }
    return words;
}

class Mutator
{
public:
    Mutator(const std::vector<Bytes> &seeds, const std::vector<Bytes> &words, std::size_t maxLen)
        : mSeeds(seeds), mWords(words), mMaxLen(maxLen)
    {}

    Bytes next()
    {
        Bytes data = mSeeds.empty() ? Bytes() : mSeeds[below(mSeeds.size())];
        const int steps = 1 + int(below(6));
        for (int i = 0; i < steps; ++i)
            mutate(data);
        if (data.size() > mMaxLen)
            data.resize(mMaxLen);
        return data;
    }

private:
    std::size_t below(std::size_t n) { return n == 0 ? 0 : std::size_t(mRandom() % n); }

    void mutate(Bytes &data)
    {
        static const std::uint8_t interesting[] = {0, 1, 0x7f, 0x80, 0xff, '\r', '\n', ' ', '"',
                                                   '<', '>', '%', ':', '/', '.', '0', '9', '{',
                                                   '}', '[', ']', '\\', ','};
        const std::size_t at = below(data.size() + 1);
        switch (below(data.empty() ? 3 : 8)) {
        case 0: // insert a few random bytes
            for (std::size_t n = 1 + below(4); n > 0; --n)
                data.insert(data.begin() + std::ptrdiff_t(at), std::uint8_t(mRandom()));
            break;
        case 1: // insert a dictionary word or an interesting byte
            if (!mWords.empty()) {
                const Bytes &w = mWords[below(mWords.size())];
                data.insert(data.begin() + std::ptrdiff_t(at), w.begin(), w.end());
            } else {
                data.insert(data.begin() + std::ptrdiff_t(at), interesting[below(sizeof interesting)]);
            }
            break;
        case 2: // splice: this input up to a point, another seed from a point
            if (!mSeeds.empty()) {
                const Bytes &other = mSeeds[below(mSeeds.size())];
                const std::size_t from = below(other.size() + 1);
                data.resize(std::min(at, data.size()));
                data.insert(data.end(), other.begin() + std::ptrdiff_t(from), other.end());
            }
            break;
        case 3: // flip a bit
            data[below(data.size())] ^= std::uint8_t(1u << below(8));
            break;
        case 4: // set an interesting byte
            data[below(data.size())] = interesting[below(sizeof interesting)];
            break;
        case 5: { // erase a run
            const std::size_t from = below(data.size());
            const std::size_t n = 1 + below(std::min<std::size_t>(16, data.size() - from));
            data.erase(data.begin() + std::ptrdiff_t(from), data.begin() + std::ptrdiff_t(from + n));
            break;
        }
        case 6: { // repeat a run
            const std::size_t from = below(data.size());
            const std::size_t n = 1 + below(std::min<std::size_t>(64, data.size() - from));
            const Bytes run(data.begin() + std::ptrdiff_t(from), data.begin() + std::ptrdiff_t(from + n));
            for (std::size_t k = 1 + below(8); k > 0; --k)
                data.insert(data.begin() + std::ptrdiff_t(from), run.begin(), run.end());
            break;
        }
        default: // overwrite with a dictionary word
            if (!mWords.empty()) {
                const Bytes &w = mWords[below(mWords.size())];
                for (std::size_t i = 0; i < w.size() && at + i < data.size(); ++i)
                    data[at + i] = w[i];
            }
            break;
        }
    }

    const std::vector<Bytes> &mSeeds;
    const std::vector<Bytes> &mWords;
    std::size_t mMaxLen;
    std::mt19937_64 mRandom{std::random_device{}()};
};

void run(const Bytes &data, const std::string &last)
{
    if (!last.empty()) {
        std::ofstream out(last, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    }
    LLVMFuzzerTestOneInput(data.data(), data.size());
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 0;
    std::size_t maxLen = 4096;
    std::string dictionary;
    std::string last;
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            seconds = std::atof(argv[++i]);
        else if (arg == "--max-len" && hasValue)
            maxLen = std::size_t(std::atoll(argv[++i]));
        else if (arg == "--dict" && hasValue)
            dictionary = argv[++i];
        else if (arg == "--last" && hasValue)
            last = argv[++i];
        else
            inputs.emplace_back(arg);
    }

    std::vector<Bytes> seeds;
    for (const auto &input : inputs) {
        std::error_code error;
        if (std::filesystem::is_directory(input, error)) {
            for (const auto &entry : std::filesystem::directory_iterator(input, error)) {
                Bytes data;
                if (entry.is_regular_file() && readFile(entry.path(), data))
                    seeds.push_back(std::move(data));
            }
        } else {
            Bytes data;
            if (!readFile(input, data)) {
                std::fprintf(stderr, "cannot read %s\n", input.c_str());
                return 2;
            }
            seeds.push_back(std::move(data));
        }
    }

    for (const Bytes &seed : seeds)
        run(seed, last);
    std::uint64_t executions = seeds.size();

    if (seconds > 0) {
        const std::vector<Bytes> words = dictionary.empty() ? std::vector<Bytes>()
                                                            : readDictionary(dictionary);
        Mutator mutator(seeds, words, maxLen);
        const auto deadline = std::chrono::steady_clock::now()
                              + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; i < 64; ++i)
                run(mutator.next(), last);
            executions += 64;
        }
    }
    std::fprintf(stderr, "%llu inputs (%zu seeds), no fault\n",
                static_cast<unsigned long long>(executions), seeds.size());
    return 0;
}
