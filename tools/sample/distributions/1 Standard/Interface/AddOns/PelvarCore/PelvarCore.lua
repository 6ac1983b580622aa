-- Pelvar Core 2.12: shared settings of the Pelvar compilation.
PelvarCore = PelvarCore or {}
PelvarCore.version = "2.12"

local frame = CreateFrame("Frame")
frame:RegisterEvent("PLAYER_LOGIN")
frame:SetScript("OnEvent", function()
    DEFAULT_CHAT_FRAME:AddMessage("Pelvar " .. PelvarCore.version .. " loaded.")
end)
