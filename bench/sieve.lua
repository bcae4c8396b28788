local function sieve(n)
  local flags = {}
  local i = 0
  while i <= n do flags[i] = 1; i = i + 1 end
  flags[0] = 0
  flags[1] = 0
  local p = 2
  while p * p <= n do
    if flags[p] == 1 then
      local m = p * p
      while m <= n do flags[m] = 0; m = m + p end
    end
    p = p + 1
  end
  local count = 0
  i = 0
  while i <= n do count = count + flags[i]; i = i + 1 end
  return count
end
local function run(n, reps)
  local total = 0
  local r = 0
  while r < reps do total = total + sieve(n); r = r + 1 end
  return total
end
print(run(1000000, 12))
