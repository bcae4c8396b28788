local function fill(n)
  local o = {}
  local i = 0
  while i < n do
    o["k" .. i] = i
    i = i + 1
  end
  local size = 0
  for _ in pairs(o) do size = size + 1 end
  return size
end
local total = 0
for r = 1, 10 do total = total + fill(100000) end
print(total)
