local function make_text(words, doublings)
  local vocab = {"lorem", "ipsum", "dolor", "sit", "amet", "calx", "vexa", "nine",
                 "tide", "stone", "river", "ember", "quartz", "lumen", "the", "a"}
  local seed = 12345
  local chunk = ""
  for i = 1, words do
    seed = (seed * 1103515245 + 12345) % 2147483648
    chunk = chunk .. vocab[seed % 16 + 1] .. " "
  end
  local text = chunk
  for i = 1, doublings do text = text .. text end
  return text
end
local function run(text)
  local letters = {}
  local counts = {}
  local distinct = 0
  local word = ""
  for k = 1, #text do
    local ch = string.sub(text, k, k)
    if ch == " " then
      local c = counts[word]
      if c == nil then counts[word] = 1; distinct = distinct + 1 else counts[word] = c + 1 end
      word = ""
    else
      word = word .. ch
      local n = letters[ch]
      if n == nil then letters[ch] = 1 else letters[ch] = n + 1 end
    end
  end
  print(distinct)
  print(counts["ember"])
  print(letters["e"])
  local size = 0
  for _ in pairs(letters) do size = size + 1 end
  return size
end
print(run(make_text(3000, 9)))
