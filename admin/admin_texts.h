// Every text thadmin shows: titles, tree items and messages, spelled as the administrator has
// always seen them (misspellings included). Paths in messages are the real paths on the root.
#pragma once

#include <string_view>

namespace tarnhold::admin_text {

inline constexpr std::string_view kWindowTitle = "Administrator - Velgrant Tarnhold Enterprise";
inline constexpr std::string_view kBoxTitle = "Tarnhold Administrator";

// Shell and save (rule list commands, OK).
inline constexpr std::string_view kNewRuleComment = "(new rule - enter own description)";
inline constexpr std::string_view kAtLeastOneRule = "There must be at least one rule";
inline constexpr std::string_view kSelectRule = "Please select a rule";
inline constexpr std::string_view kPopNeedsDefault =
    "Every POP3 account download must have a default address, for example ";
inline constexpr std::string_view kRoutingBoxNotAdded =
    "The Routing Domains section contains a domain in the add text box which is not yet added "
    "to the list (it could be a mistake?).  Please either add it to the list or clear the box";
inline constexpr std::string_view kRulePrefix = "The rule '";
inline constexpr std::string_view kFromMissing =
    "' has lookup enabled but the FROM list does not exist.  Please either specify a valid list "
    "file or turn off the dynamic lookup";
inline constexpr std::string_view kToMissing =
    "' has lookup enabled but the TO list does not exist.  Please either specify a valid list "
    "file or turn off the dynamic lookup";
inline constexpr std::string_view kExceptionMissing =
    "' has the exception list enabled but the required file does not exist.  Please either "
    "specify a valid list file or turn off the exception list lookup";
inline constexpr std::string_view kAdultInDescription =
    "' cannot contain words in it's description that are the same as words that define adult "
    "content";
inline constexpr std::string_view kKeywordInDescription = "The description of rule '";
inline constexpr std::string_view kCannotContainWords = "' cannot contain words: ";
inline constexpr std::string_view kInvalidArea =
    "' specifies an invalid quarantine area.  Click on the NEW button to create a new quarantine "
    "area or select an existing one from the list";
inline constexpr std::string_view kScannerWarningStart = "Warning: Virus-scanner ";
inline constexpr std::string_view kScannerWarningEnd =
    " has been enabled but the EXE path is invalid, this may lead the virus sweeper module to "
    "stop responding.  Please correct the EXE path or disable the scanner";
inline constexpr std::string_view kRestart =
    "You need to restart Tarnhold for the new settins to take effect";
inline constexpr std::string_view kAliasesNotOpened = "could not open ALIASES.DAT";
inline constexpr std::string_view kSpamFreeNotOpened = "could not open SPAMFREE.DAT";
inline constexpr std::string_view kSpamFreeChanged =
    "The SPAM information file was updated since you have opened this Admin module.  The "
    "SPAM-free list was not saved - please reload and re-apply changes";
inline constexpr std::string_view kHelpFailed =
    "Tarnhold could start Word document.  Please open file ";
inline constexpr std::string_view kHelpFailedEnd = " manually in any word processor";
// Beyond the classic texts: a second window's save, and values the gateway would misread.
inline constexpr std::string_view kConfigChangedElsewhere =
    "The configuration file was changed by another program since you have opened this Admin "
    "module.  Saving now overwrites that change.  Save anyway?";
inline constexpr std::string_view kConfigNotWritten = "The configuration file could not be saved: ";
inline constexpr std::string_view kValueHasLineBreak = "The value cannot contain line breaks";
inline constexpr std::string_view kValueTooLong = "The value cannot be longer than 254 characters";
inline constexpr std::string_view kListReadInPart =
    "The list could only be read in part (too long or unreadable), so it is not saved: ";
inline constexpr std::string_view kListEntryIsComment =
    "An entry cannot begin with ';': the gateway would read it as a comment";

// Rule pages.
inline constexpr std::string_view kDirectionRefused =
    "Disable dynamic lookup lists to apply rules globally to Incoming/Outgoing traffic";
inline constexpr std::string_view kLookupRefused =
    "To use the lookup list, disable global Incoming/Outgoing options.";
inline constexpr std::string_view kCannotViewLists =
    "Cannot view the Tarnhold lists folder.  You have to open it manually in the file manager";
inline constexpr std::string_view kSelectFile = "Please select a file";
inline constexpr std::string_view kNoApplication =
    "There is no application associated with this file type";
inline constexpr std::string_view kNoApplicationOpen =
    "There is no application associated with this file type.  Open file ";
inline constexpr std::string_view kInAnyWordprocessor = " in any wordprocessor";
inline constexpr std::string_view kCriticalAreaStart = "CRITICAL ERROR: the quarantine area '";
inline constexpr std::string_view kCriticalAreaEnd =
    "' does not exist.  Specify a valid quarantine area";
inline constexpr std::string_view kAreaSpaces = "The quarantine area name cannot contain spaces";
inline constexpr std::string_view kAreaNotAName =
    "The quarantine area name must be one folder name, without '/' or '..'";
inline constexpr std::string_view kAreaExistsStart = "Quarantine area '";
inline constexpr std::string_view kAreaExistsEnd =
    "' already exists.  To create a new quarantine area, type a new unique name and select the "
    "New option again";
inline constexpr std::string_view kAreaCreateFailed =
    "Failed to create the specified quarantine folder";
inline constexpr std::string_view kAreaNotEmpty =
    "Cannot remove this quarantine area because it still contains items.  Empty the quarantine "
    "area and try again";
inline constexpr std::string_view kAreaRemoveFailed =
    "Failed to remove this quarantine folder. Please specify a valid folder to remove";
inline constexpr std::string_view kAreaRemoved =
    "Please select a new quarantine area if you wish to continue using the quarantine action in "
    "this rule";

// Settings pages.
inline constexpr std::string_view kConsent =
    "Tarnhold will now display some keywords related to adult content.  By clicking on the OK "
    "button below you certify that: \n"
    "You do not find swear words or sexual material to be offensive or objectionable. \n"
    "You are at least 21 years of age and in your community, you have the legal right to "
    "view/alter illicit material.\n"
    "You understand the standards and laws of the community to which you are transporting this "
    "material, and you or your organization is solely responsible for any modifications.\n"
    "Velgrant Ltd and any of it's distributors, resellers or partners bare no responsibility for "
    "any consequence related to viewing, modyfing or transporting any material included in this "
    "product.";
inline constexpr std::string_view kPop3ServerEnabled =
    "Local POP3 server has been enabled and the INBOUND GATEWAY disabled - all INBOUND mail will "
    "be delivered to local POP3 accounts.  See Local POP3 Users section to create and administer "
    "local POP3 users.  You can also configure your email clients to send mail directly to this "
    "Tarnhold host";
inline constexpr std::string_view kEnterDomain = "Please enter the domain name";
inline constexpr std::string_view kDomainListed = "This domain is already in the list";
inline constexpr std::string_view kEnterDialTime = "Please enter the dial time (HH:MM)";
inline constexpr std::string_view kTimeListed = "This time is already in the list";
inline constexpr std::string_view kEnterAccount = "Please enter the account name";
inline constexpr std::string_view kAccountExists = "Account with such name already exists";
inline constexpr std::string_view kAccountReactivated =
    "This account existed before it has been re-activated. The Previous account ID was restored";
inline constexpr std::string_view kRemoveAccount = "Are you sure to remove this account?";
inline constexpr std::string_view kAddressExists = "Such item already exists in account ";
inline constexpr std::string_view kSelectAccount = "You must select an account";
inline constexpr std::string_view kSelectItemToRemove = "Please select an item to remove";
inline constexpr std::string_view kNoMailboxes =
    "WARING: no mailboxes exist for this account.  It is highly recommended that you either add "
    "mailboxes or delete the account";
inline constexpr std::string_view kEnterItem = "Please enter an item";
inline constexpr std::string_view kEnterEmail = "Please enter an email address";
inline constexpr std::string_view kItemListed = "This item is already in the list";
inline constexpr std::string_view kCannotViewLogs =
    "Cannot view the Tarnhold log folder.  You have to open it manually in the file manager";
inline constexpr std::string_view kPop3UsersNote =
    "To use POP3 Accounts, enable POP3 Server in the Routing Domains section";

}  // namespace tarnhold::admin_text
