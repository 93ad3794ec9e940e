// PEGTL grammar of the DBC file format: rules only, one struct per keyword or production.
//
// The format is a flat list of statements, each opening with a keyword. After its keyword a
// statement is parsed with must<>, so a mistake is reported where it happens and nothing
// backtracks over more than one keyword: parsing is linear and no rule recurses.
// Whitespace, line breaks included, may separate any two tokens. Lines matter in two places:
// the NS_ symbol list (its entries are indented) and name lists (they end at the next keyword).
#pragma once

#include <tao/pegtl.hpp>

namespace orvik::dbc::grammar {

namespace pegtl = tao::pegtl;
using pegtl::ascii::blank;
using pegtl::ascii::digit;
using pegtl::ascii::identifier_other;
using pegtl::ascii::one;
using pegtl::ascii::string;
using pegtl::at;
using pegtl::eof;
using pegtl::if_must;
using pegtl::list;
using pegtl::must;
using pegtl::not_at;
using pegtl::opt;
using pegtl::plus;
using pegtl::seq;
using pegtl::sor;
using pegtl::star;

// ---------------------------------------------------------------------------------------------
// Keywords. A keyword never matches the start of a longer name (BA_DEF_ is not BA_DEF_DEF_).
namespace kw {
struct VERSION : TAO_PEGTL_KEYWORD("VERSION") {};
struct NS_ : TAO_PEGTL_KEYWORD("NS_") {};
struct BS_ : TAO_PEGTL_KEYWORD("BS_") {};
struct BU_ : TAO_PEGTL_KEYWORD("BU_") {};
struct VAL_TABLE_ : TAO_PEGTL_KEYWORD("VAL_TABLE_") {};
struct BO_ : TAO_PEGTL_KEYWORD("BO_") {};
struct SG_ : TAO_PEGTL_KEYWORD("SG_") {};
struct BO_TX_BU_ : TAO_PEGTL_KEYWORD("BO_TX_BU_") {};
struct EV_ : TAO_PEGTL_KEYWORD("EV_") {};
struct ENVVAR_DATA_ : TAO_PEGTL_KEYWORD("ENVVAR_DATA_") {};
struct EV_DATA_ : TAO_PEGTL_KEYWORD("EV_DATA_") {};
struct SGTYPE_ : TAO_PEGTL_KEYWORD("SGTYPE_") {};
struct SGTYPE_VAL_ : TAO_PEGTL_KEYWORD("SGTYPE_VAL_") {};
struct CM_ : TAO_PEGTL_KEYWORD("CM_") {};
struct BA_DEF_ : TAO_PEGTL_KEYWORD("BA_DEF_") {};
struct BA_DEF_REL_ : TAO_PEGTL_KEYWORD("BA_DEF_REL_") {};
struct BA_DEF_SGTYPE_ : TAO_PEGTL_KEYWORD("BA_DEF_SGTYPE_") {};
struct BA_DEF_DEF_ : TAO_PEGTL_KEYWORD("BA_DEF_DEF_") {};
struct BA_DEF_DEF_REL_ : TAO_PEGTL_KEYWORD("BA_DEF_DEF_REL_") {};
struct BA_ : TAO_PEGTL_KEYWORD("BA_") {};
struct BA_REL_ : TAO_PEGTL_KEYWORD("BA_REL_") {};
struct BA_SGTYPE_ : TAO_PEGTL_KEYWORD("BA_SGTYPE_") {};
struct VAL_ : TAO_PEGTL_KEYWORD("VAL_") {};
struct SIG_GROUP_ : TAO_PEGTL_KEYWORD("SIG_GROUP_") {};
struct SIG_VALTYPE_ : TAO_PEGTL_KEYWORD("SIG_VALTYPE_") {};
struct SIGTYPE_VALTYPE_ : TAO_PEGTL_KEYWORD("SIGTYPE_VALTYPE_") {};
struct SIG_TYPE_REF_ : TAO_PEGTL_KEYWORD("SIG_TYPE_REF_") {};
struct SG_MUL_VAL_ : TAO_PEGTL_KEYWORD("SG_MUL_VAL_") {};
struct CAT_DEF_ : TAO_PEGTL_KEYWORD("CAT_DEF_") {};
struct CAT_ : TAO_PEGTL_KEYWORD("CAT_") {};
struct FILTER : TAO_PEGTL_KEYWORD("FILTER") {};
struct BU_EV_REL_ : TAO_PEGTL_KEYWORD("BU_EV_REL_") {};
struct BU_BO_REL_ : TAO_PEGTL_KEYWORD("BU_BO_REL_") {};
struct BU_SG_REL_ : TAO_PEGTL_KEYWORD("BU_SG_REL_") {};
struct INT : TAO_PEGTL_KEYWORD("INT") {};
struct HEX : TAO_PEGTL_KEYWORD("HEX") {};
struct FLOAT : TAO_PEGTL_KEYWORD("FLOAT") {};
struct STRING : TAO_PEGTL_KEYWORD("STRING") {};
struct ENUM : TAO_PEGTL_KEYWORD("ENUM") {};

// Every keyword that opens a statement: a name list stops in front of one.
struct statement_keyword
    : sor<VERSION, NS_, BS_, BU_, VAL_TABLE_, BO_, SG_, BO_TX_BU_, EV_, ENVVAR_DATA_, EV_DATA_,
          SGTYPE_, SGTYPE_VAL_, CM_, BA_DEF_, BA_DEF_REL_, BA_DEF_SGTYPE_, BA_DEF_DEF_,
          BA_DEF_DEF_REL_, BA_, BA_REL_, BA_SGTYPE_, VAL_, SIG_GROUP_, SIG_VALTYPE_,
          SIG_TYPE_REF_, SG_MUL_VAL_, CAT_DEF_, CAT_, FILTER, SIGTYPE_VALTYPE_> {};
}  // namespace kw

// ---------------------------------------------------------------------------------------------
// Lexical rules.
struct line_end : sor<string<'\r', '\n'>, one<'\n', '\r'>> {};
struct skip : star<sor<blank, line_end>> {};  // blank is space or tab
struct blanks : star<blank> {};

// Real files start names with digits too (2017_5, 64_BIT_LE), so any run of name characters.
struct identifier : plus<identifier_other> {};
// A name in a list that may be followed by the next statement: never a keyword.
struct node_name : seq<not_at<kw::statement_keyword>, identifier> {};

// Never the digits that open a name such as 2017_5.
struct unsigned_integer : seq<plus<digit>, not_at<identifier_other>> {};
struct sign : one<'+', '-'> {};
struct exponent : seq<one<'e', 'E'>, opt<sign>, plus<digit>> {};
// 12, -0, +3, 1.5, 1., .5, 1E+002
struct number
    : seq<opt<sign>, sor<seq<plus<digit>, opt<one<'.'>, star<digit>>>, seq<one<'.'>, plus<digit>>>,
          opt<exponent>> {};

// "text": a backslash escapes the next character (\" and \\); line breaks are part of the text.
struct string_char : sor<seq<one<'\\'>, pegtl::any>, pegtl::not_one<'"', '\\'>> {};
struct string_body : star<string_char> {};
struct string_close : one<'"'> {};
struct string_open : one<'"'> {};
struct quoted_string : if_must<string_open, string_body, string_close> {};

struct colon : one<':'> {};
struct semicolon : one<';'> {};
struct comma : one<','> {};
struct optional_semicolon : opt<skip, semicolon> {};

// ---------------------------------------------------------------------------------------------
// Shared references to objects of the database.
struct message_id : unsigned_integer {};
struct signal_name : identifier {};
struct env_var_name : identifier {};
struct attribute_name : quoted_string {};
struct attribute_number : number {};
struct attribute_text : quoted_string {};
struct attribute_value : sor<attribute_number, attribute_text> {};

// ---------------------------------------------------------------------------------------------
// VERSION "text"
struct version_text : quoted_string {};
struct version : if_must<kw::VERSION, skip, version_text> {};

// NS_ : followed by the new-symbol keywords, one per indented line (or on the NS_ line itself).
struct ns_line_break : seq<line_end, star<blanks, line_end>> {};
// Statements that follow the list are not symbols, even when indented.
struct ns_list_end : sor<kw::BS_, kw::BU_, kw::BO_, kw::SG_, kw::VERSION, kw::NS_> {};
struct ns_entry
    : seq<sor<seq<blanks, ns_line_break, plus<blank>>, plus<blank>>, not_at<ns_list_end>,
          identifier> {};
struct new_symbols : if_must<kw::NS_, blanks, colon, star<ns_entry>> {};

// BS_: [baudrate : BTR1 , BTR2]
struct baudrate : unsigned_integer {};
struct btr : unsigned_integer {};
struct bit_timing_values : seq<baudrate, skip, colon, skip, btr, skip, comma, skip, btr> {};
struct bit_timing : if_must<kw::BS_, blanks, colon, opt<skip, bit_timing_values>> {};

// BU_: node node ...   (names may continue on the following lines)
struct nodes : if_must<kw::BU_, blanks, colon, star<skip, node_name>> {};

// VAL_TABLE_ name value "label" ... ;
struct value_table_name : identifier {};
struct value_number : number {};
struct value_label : quoted_string {};
struct value_description : seq<value_number, skip, value_label> {};
struct value_description_list : star<skip, value_description> {};
struct value_table
    : if_must<kw::VAL_TABLE_, skip, value_table_name, value_description_list, optional_semicolon> {
};

// BO_ id name : size transmitter, then its SG_ lines.
struct message_name : identifier {};
struct message_size : unsigned_integer {};
struct transmitter : node_name {};
struct message_definition
    : if_must<kw::BO_, skip, message_id, skip, message_name, skip, colon, skip, message_size, skip,
              transmitter> {};

// SG_ name [M | mN | mNM] : start|size@order sign (factor,offset) [min|max] "unit" receivers
struct multiplexed_multiplexor : seq<one<'m'>, plus<digit>, one<'M'>> {};
struct multiplexed : seq<one<'m'>, plus<digit>> {};
struct multiplexor : one<'M'> {};
// A lone `m`: an indicator without a switch value; it leaves the signal plain.
struct bare_multiplexed : one<'m'> {};
struct multiplexer_indicator
    : seq<sor<multiplexed_multiplexor, multiplexed, multiplexor, bare_multiplexed>,
          not_at<identifier_other>> {};
struct start_bit : unsigned_integer {};
struct signal_size : unsigned_integer {};
struct byte_order : one<'0', '1'> {};
struct value_type : one<'+', '-'> {};
struct factor : number {};
struct offset : number {};
struct minimum : number {};
struct maximum : number {};
struct unit : quoted_string {};
struct receiver : node_name {};
struct receiver_separator : seq<skip, opt<comma, skip>> {};
struct receivers : opt<skip, receiver, star<receiver_separator, receiver>> {};
struct open_paren : one<'('> {};
struct close_paren : one<')'> {};
struct open_bracket : one<'['> {};
struct close_bracket : one<']'> {};
struct bar : one<'|'> {};
struct at_sign : one<'@'> {};
struct signal
    : if_must<kw::SG_, skip, signal_name, opt<plus<blank>, multiplexer_indicator>, skip, colon,
              skip, start_bit, skip, bar, skip, signal_size, skip, at_sign, skip, byte_order, skip,
              value_type, skip, open_paren, skip, factor, skip, comma, skip, offset, skip,
              close_paren, skip, open_bracket, skip, minimum, skip, bar, skip, maximum, skip,
              close_bracket, skip, unit, receivers> {};

struct message : seq<message_definition, star<skip, signal>> {};
// An SG_ that follows no BO_.
struct signal_outside_message : pegtl::failure {};
struct stray_signal : seq<at<kw::SG_>, must<signal_outside_message>> {};

// BO_TX_BU_ id : node, node ;
struct transmitter_list : list<node_name, sor<seq<skip, comma, skip>, plus<blank>>> {};
struct message_transmitters
    : if_must<kw::BO_TX_BU_, skip, message_id, skip, colon, skip, opt<transmitter_list>, skip,
              semicolon> {};

// EV_ name : type [min|max] "unit" initial id access_type access_node, ... ;
struct env_var_type : unsigned_integer {};
struct env_var_initial : number {};
struct env_var_id : unsigned_integer {};
struct access_type : identifier {};
struct access_nodes : list<node_name, seq<skip, comma, skip>> {};
struct environment_variable
    : if_must<kw::EV_, skip, env_var_name, skip, colon, skip, env_var_type, skip, open_bracket,
              skip, minimum, skip, bar, skip, maximum, skip, close_bracket, skip, unit, skip,
              env_var_initial, skip, env_var_id, skip, access_type, skip, opt<access_nodes>, skip,
              semicolon> {};

// ENVVAR_DATA_ name : size ;   (EV_DATA_ is its older spelling)
struct data_size : unsigned_integer {};
struct environment_variable_data
    : if_must<sor<kw::ENVVAR_DATA_, kw::EV_DATA_>, skip, env_var_name, skip, colon, skip,
              data_size, skip, semicolon> {};

// SGTYPE_ name : size@order sign (factor,offset) [min|max] "unit" default , value_table ;
struct signal_type_name : identifier {};
struct default_value : number {};
struct signal_type
    : if_must<kw::SGTYPE_, skip, signal_type_name, skip, colon, skip, signal_size, skip, at_sign,
              skip, byte_order, skip, value_type, skip, open_paren, skip, factor, skip, comma,
              skip, offset, skip, close_paren, skip, open_bracket, skip, minimum, skip, bar, skip,
              maximum, skip, close_bracket, skip, unit, skip, default_value, skip,
              opt<comma, skip>, opt<value_table_name, skip>, semicolon> {};

// SGTYPE_VAL_ type-name value "label" ... ;
struct signal_type_values
    : if_must<kw::SGTYPE_VAL_, skip, signal_type_name, value_description_list, optional_semicolon> {
};

// SIG_TYPE_REF_ id signal : type-name ;
struct signal_type_ref
    : if_must<kw::SIG_TYPE_REF_, skip, message_id, skip, signal_name, skip, colon, skip,
              signal_type_name, skip, semicolon> {};

// CM_ [BU_ node | BO_ id | SG_ id signal | EV_ name] "text" [;]
struct comment_text : quoted_string {};
// A bare identifier is a message comment whose BO_ was left out, as some files write it.
struct comment_object
    : sor<seq<kw::BU_, skip, node_name>, seq<kw::BO_, skip, message_id>,
          seq<kw::SG_, skip, message_id, skip, signal_name>, seq<kw::EV_, skip, env_var_name>,
          message_id> {};
struct comment
    : if_must<kw::CM_, skip, opt<comment_object, skip>, comment_text, optional_semicolon> {};

// BA_DEF_ [BU_|BO_|SG_|EV_] "name" type ;   and BA_DEF_REL_ with the relation object types.
struct integer_range : seq<number, skip, number> {};
struct enum_values : opt<list<quoted_string, seq<skip, comma, skip>>> {};
struct attribute_type
    : sor<seq<kw::INT, skip, integer_range>, seq<kw::HEX, skip, integer_range>,
          seq<kw::FLOAT, skip, integer_range>, kw::STRING, seq<kw::ENUM, skip, enum_values>> {};
struct object_type : sor<kw::BU_, kw::BO_, kw::SG_, kw::EV_> {};
struct relation_type : sor<kw::BU_EV_REL_, kw::BU_BO_REL_, kw::BU_SG_REL_> {};
struct attribute_definition
    : if_must<kw::BA_DEF_, skip, opt<object_type, skip>, attribute_name, skip, attribute_type,
              skip, semicolon> {};
struct attribute_definition_rel
    : if_must<kw::BA_DEF_REL_, skip, opt<relation_type, skip>, attribute_name, skip,
              attribute_type, skip, semicolon> {};

// BA_DEF_DEF_ "name" value ;   and BA_DEF_DEF_REL_
struct attribute_default
    : if_must<kw::BA_DEF_DEF_, skip, attribute_name, skip, attribute_value, skip, semicolon> {};
struct attribute_default_rel
    : if_must<kw::BA_DEF_DEF_REL_, skip, attribute_name, skip, attribute_value, skip, semicolon> {
};

// BA_ "name" [BU_ node | BO_ id | SG_ id signal | EV_ name] value ;
struct node_object : seq<kw::BU_, skip, node_name> {};
struct message_object : seq<kw::BO_, skip, message_id> {};
struct signal_object : seq<kw::SG_, skip, message_id, skip, signal_name> {};
struct env_var_object : seq<kw::EV_, skip, env_var_name> {};
struct attribute_object : sor<node_object, message_object, signal_object, env_var_object> {};
struct attribute_assignment
    : if_must<kw::BA_, skip, attribute_name, skip, opt<attribute_object, skip>, attribute_value,
              skip, semicolon> {};

// BA_REL_ "name" BU_EV_REL_ node ev | BU_BO_REL_ node id | BU_SG_REL_ node SG_ id signal, value ;
struct relation_object
    : sor<seq<kw::BU_EV_REL_, skip, node_name, skip, env_var_name>,
          seq<kw::BU_BO_REL_, skip, node_name, skip, message_id>,
          seq<kw::BU_SG_REL_, skip, node_name, skip, kw::SG_, skip, message_id, skip,
              signal_name>> {};
struct attribute_assignment_rel
    : if_must<kw::BA_REL_, skip, attribute_name, skip, relation_object, skip, attribute_value,
              skip, semicolon> {};

// BA_DEF_SGTYPE_ "name" type ;   BA_SGTYPE_ "name" SGTYPE_ type-name value ;
struct attribute_definition_sgtype
    : if_must<kw::BA_DEF_SGTYPE_, skip, attribute_name, skip, attribute_type, skip, semicolon> {};
struct attribute_assignment_sgtype
    : if_must<kw::BA_SGTYPE_, skip, attribute_name, skip, kw::SGTYPE_, skip, signal_type_name,
              skip, attribute_value, skip, semicolon> {};

// VAL_ id signal value "label" ... [;]   or   VAL_ env-var value "label" ... [;]
struct signal_reference : seq<message_id, skip, signal_name> {};
struct value_descriptions_object : sor<signal_reference, env_var_name> {};
struct value_descriptions
    : if_must<kw::VAL_, skip, value_descriptions_object, value_description_list,
              optional_semicolon> {};

// SIG_GROUP_ id name repetitions : signal ... ;
struct signal_group_name : identifier {};
struct repetitions : unsigned_integer {};
struct signal_group_members : star<skip, signal_name> {};
struct signal_group
    : if_must<kw::SIG_GROUP_, skip, message_id, skip, signal_group_name, skip, repetitions, skip,
              colon, signal_group_members, skip, semicolon> {};

// SIG_VALTYPE_ id signal : 0|1|2|3 ;
struct extended_value_type : unsigned_integer {};
struct signal_extended_value_type
    : if_must<kw::SIG_VALTYPE_, skip, message_id, skip, signal_name, skip, opt<colon, skip>,
              extended_value_type, skip, semicolon> {};

// SG_MUL_VAL_ id signal switch low-high, ... ;
struct switch_name : identifier {};
struct range_low : unsigned_integer {};
struct range_high : unsigned_integer {};
struct value_range : seq<range_low, skip, one<'-'>, skip, range_high> {};
struct value_ranges : list<value_range, seq<skip, comma, skip>> {};
struct extended_multiplexing
    : if_must<kw::SG_MUL_VAL_, skip, message_id, skip, signal_name, skip, switch_name, skip,
              value_ranges, skip, semicolon> {};

// CAT_DEF_, CAT_, FILTER and SIGTYPE_VALTYPE_: statements nothing reads; taken as tokens up to
// the `;`.
struct loose_token
    : sor<quoted_string, number, identifier, one<',', ':', '|', '[', ']', '(', ')', '@', '-'>> {};
struct loose_tokens : star<skip, loose_token> {};
struct category_definition : if_must<kw::CAT_DEF_, loose_tokens, skip, semicolon> {};
struct category : if_must<kw::CAT_, loose_tokens, skip, semicolon> {};
struct filter : if_must<kw::FILTER, loose_tokens, skip, semicolon> {};
struct signal_type_value_type : if_must<kw::SIGTYPE_VALTYPE_, loose_tokens, skip, semicolon> {};

// ---------------------------------------------------------------------------------------------
struct statement
    : sor<message, version, new_symbols, bit_timing, nodes, value_table, message_transmitters,
          environment_variable, environment_variable_data, signal_type, signal_type_values,
          signal_type_ref, comment, attribute_definition, attribute_definition_rel,
          attribute_definition_sgtype, attribute_default, attribute_default_rel,
          attribute_assignment, attribute_assignment_rel, attribute_assignment_sgtype,
          value_descriptions, signal_group, signal_extended_value_type, extended_multiplexing,
          category_definition, category, filter, signal_type_value_type, stray_signal> {};

struct byte_order_mark : pegtl::utf8::one<0xFEFF> {};
struct end_of_file : eof {};
struct dbc_file : seq<opt<byte_order_mark>, skip, star<statement, skip>, must<end_of_file>> {};

}  // namespace orvik::dbc::grammar
