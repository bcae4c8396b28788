def make_text(words, doublings):
    vocab = ["lorem", "ipsum", "dolor", "sit", "amet", "calx", "vexa", "nine",
             "tide", "stone", "river", "ember", "quartz", "lumen", "the", "a"]
    seed = 12345
    chunk = ""
    i = 0
    while i < words:
        seed = (seed * 1103515245 + 12345) % 2147483648
        chunk = f"{chunk}{vocab[seed % 16]} "
        i = i + 1
    text = chunk
    i = 0
    while i < doublings:
        text = f"{text}{text}"
        i = i + 1
    return text
def run(text):
    letters = {}
    counts = {}
    distinct = 0
    word = ""
    for ch in text:
        if ch == " ":
            c = counts.get(word)
            if c is None:
                counts[word] = 1
                distinct = distinct + 1
            else:
                counts[word] = c + 1
            word = ""
        else:
            word = f"{word}{ch}"
            n = letters.get(ch)
            if n is None:
                letters[ch] = 1
            else:
                letters[ch] = n + 1
    print(distinct)
    print(counts["ember"])
    print(letters["e"])
    return len(letters)
print(run(make_text(3000, 9)))
