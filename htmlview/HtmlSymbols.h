#pragma once
// The symbols of the HTML reader: tags (in the order of the tag table; the
// first 49 also have end tags), their end tags, and attributes (in the order
// of the attribute table).

#include <cstddef>
#include <string_view>

enum TSymbol : unsigned char {
    HtmlSy, TitleSy, BodySy, HeadSy, BSy, ISy, HeadingSy, EmSy, StrongSy, USy, CiteSy, VarSy, TTSy, CodeSy,
    KbdSy, SampSy, OLSy, ULSy, DirSy, MenuSy, DLSy, ASy, AddressSy, BlockQuoteSy, PreSy, CenterSy, TableSy,
    TDSy, THSy, CaptionSy, FormSy, TextAreaSy, SelectSy, OptionSy, FontSy, SubSy, SupSy, BigSy, SmallSy, PSy,
    MapSy, FrameSetSy, NoFramesSy, ScriptSy, DivSy, SSy, StrikeSy, TRSy, NoBrSy,
    // No end tags from here on.
    LISy, BRSy, HRSy, DDSy, DTSy, ImageSy, BaseSy, ButtonSy, InputSy, SelectedSy, BaseFontSy, AreaSy, FrameSy,
    BgSoundSy, WrapSy, MetaSy, WbrSy,
    // End tags: EndTag(s) for the first 49 tags.
    FirstEndSy,
    LastEndSy = FirstEndSy + 48,
    TextSy,
    EofSy,
    UnknownSy,
    SymbolCount
};

constexpr int kTagCount = 66;
constexpr int kEndTagCount = 49;

constexpr TSymbol EndTag(TSymbol s) { return static_cast<TSymbol>(FirstEndSy + s); }

enum TAttrSymbol : unsigned char {
    HrefSy, NameSy, SrcSy, AltSy, AlignSy, TextAttrSy, BGColorSy, LinkSy, BackgroundSy, ColSpanSy, RowSpanSy,
    BorderSy, CellPaddingSy, CellSpacingSy, VAlignSy, WidthSy, StartSy, ValueSy, TypeSy, CheckBoxSy, RadioSy,
    MethodSy, ActionSy, CheckedSy, SizeSy, MaxLengthSy, ColsSy, RowsSy, MultipleSy, Value2Sy, SelectedAttrSy,
    FaceSy, ColorSy, TranspSy, ClearSy, IsMapSy, BorderColorSy, UseMapSy, ShapeSy, CoordsSy, NoHrefSy, HeightSy,
    PlainSy, TargetSy, NoResizeSy, ScrollingSy, HSpaceSy, LanguageSy, FrameBorderSy, MarginWidthSy,
    MarginHeightSy, LoopSy, OnClickSy, WrapAttrSy, NoShadeSy, HttpEqSy, ContentSy, EncTypeSy, VLinkSy, OLinkSy,
    ActiveSy, VSpaceSy, NoWrapSy,
    UnknownAttrSy
};

constexpr int kAttributeCount = 63;

// Table lookups (exact, upper case). -1 when the name is not in the table.
int TagIndex(std::string_view upperName);
int AttributeIndex(std::string_view upperName);
std::string_view TagName(int index);
