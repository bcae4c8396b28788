local function range(a, b) local t = {} for i = a, b - 1 do t[#t + 1] = i end return t end
local function run()
  local n = 3000000
  local a = range(0, n)
  local i = 0
  while i < n do
    a[i + 1] = i * 2
    i = i + 1
  end
  local total = 0
  for _, x in ipairs(a) do total = total + x end
  local rows = range(0, 100)
  local y = 0
  while y < 100 do rows[y + 1] = range(0, 100); y = y + 1 end
  local rep = 0
  while rep < 2000 do
    y = 0
    while y < 100 do
      local x = 0
      while x < 100 do
        rows[y + 1][x + 1] = rows[y + 1][x + 1] + x * y
        x = x + 1
      end
      y = y + 1
    end
    rep = rep + 1
  end
  return total + rows[100][100]
end
print(run())
