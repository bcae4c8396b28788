local function run()
  local parts = {}
  local i = 0
  while i < 300000 do
    parts[#parts + 1] = tostring(i % 10)
    i = i + 1
  end
  local s = table.concat(parts)
  local words = 0
  local j = 0
  while j < 1000000 do
    local t = "item-" .. j .. "-" .. tostring(j * 2)
    words = words + #t
    j = j + 1
  end
  local count = 0
  for k = 1, #s do
    if s:sub(k, k) == "7" then count = count + 1 end
  end
  return #s + words + count
end
print(run())
