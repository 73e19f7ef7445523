#!/bin/bash
# wordcount: reads an uploaded text file (input.txt, or the file named in JOB_ARGS) and writes its
# results into sub-folders, to try output patterns such as "results" (the whole tree) or
# "results/letters/*.txt":
#   results/summary.txt              lines, words and characters of the input
#   results/top/words.txt            the 20 most frequent words with their counts
#   results/letters/<letter>.txt     every distinct word, one file per first letter
#SBATCH --time=5
set -eu
input=${JOB_ARGS:-input.txt}
# Only a file of this job: a relative path without "..", that stays inside the job folder once
# links are resolved.
case "$input" in
    /* | .. | ../* | */.. | */../*)
        echo "wordcount: '$input' is not a file of this job; give a path inside the job folder"
        exit 2 ;;
esac
here=$(pwd -P)
resolved=$(realpath -e -- "$input" 2>/dev/null || true)
case "$resolved" in
    "$here"/*) ;;
    *)
        if [ -z "$resolved" ]; then
            echo "wordcount: no input file '$input' in $(pwd); upload one first"
            exit 1
        fi
        echo "wordcount: '$input' leads out of the job folder"
        exit 2 ;;
esac
if [ ! -f "$resolved" ]; then
    echo "wordcount: no input file '$input' in $(pwd); upload one first"
    exit 1
fi
mkdir -p results/top results/letters
words() { tr -cs '[:alnum:]' '\n' < "$resolved" | tr '[:upper:]' '[:lower:]' | grep -v '^$' || true; }
{
    echo "input: $input"
    echo "lines: $(wc -l < "$resolved")"
    echo "words: $(words | wc -l)"
    echo "characters: $(wc -m < "$resolved")"
} > results/summary.txt
words | sort | uniq -c | sort -k1,1nr -k2 | head -n 20 > results/top/words.txt
words | sort -u | while read -r word; do
    echo "$word" >> "results/letters/${word:0:1}.txt"
done
cat results/summary.txt
echo "wordcount: wrote $(find results -type f | wc -l) files below results/"
